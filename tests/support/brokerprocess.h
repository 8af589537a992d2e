#ifndef BROKERPROCESS_H
#define BROKERPROCESS_H

#include "childprocess.h"

#include <QTemporaryDir>

// A real Mosquitto on a free loopback port, configured in a folder of its
// own; relaunched, it keeps the port. Sessions and queued messages persist in
// that folder, so a subscriber's session outlives a restart.
class BrokerProcess : public ChildProcess {
    Q_OBJECT
public:
    explicit BrokerProcess(QObject *parent = nullptr);
    ~BrokerProcess() override { stop(); }

    // Waits until the broker accepts connections.
    bool launch();
    bool stop();
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
};

#endif // BROKERPROCESS_H
