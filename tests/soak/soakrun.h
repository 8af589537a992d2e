#ifndef SOAKRUN_H
#define SOAKRUN_H

#include "hostprocess.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVector>
#include <QWebSocket>

#include <memory>

// A long run of the host with many simulated aircraft and web clients that
// keep issuing commands. Prints resident memory and replies against requests
// as it goes; fails on a lost reply or memory that keeps growing.
class SoakRun : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString host;
        int aircraft = 100;
        int clients = 10;
        int minutes = 10;
        double simSpeed = 1.0;
    };

    explicit SoakRun(const Options &options, QObject *parent = nullptr);
    ~SoakRun() override;

    // Runs to the end; the process exit status.
    int run();

private:
    struct Client {
        QWebSocket socket;
        QHash<QString, qint64> waiting; // SEQ -> when sent, ms into the run
        int next = 0;
    };

    bool attachAircraft();
    void sendNext(Client &client);
    void onReply(Client &client, const QString &text);
    void report();
    QJsonObject randomCommand(QString &cmd);

    Options m_options;
    HostProcess m_host;
    QWebSocket m_push;
    std::vector<std::unique_ptr<Client>> m_clients;
    QStringList m_serials;
    QElapsedTimer m_clock;
    QTimer m_reportTimer;
    qint64 m_requests = 0;
    qint64 m_replies = 0;
    qint64 m_failures = 0;
    qint64 m_lost = 0;
    qint64 m_pushes = 0;
    bool m_stopping = false;
    QVector<qint64> m_resident; // KiB, one sample per report
};

#endif // SOAKRUN_H
