#ifndef ELEVATIONQUERIER_H
#define ELEVATIONQUERIER_H

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QNetworkReply>
#include <QObject>

#include <functional>

class ElevationQuerier : public QObject {
    Q_OBJECT
public:
    explicit ElevationQuerier(QObject *parent = nullptr);
    ~ElevationQuerier() override;

protected Q_SLOTS:
    void networkError(QNetworkReply::NetworkError errWhat);
    void replyFinished();
    bool loadJson(QByteArray ba, QJsonObject &json, QString &errwhy);

protected:
    QMap<QObject *, std::function<void(const QJsonObject &)>> pendingQueries;
};

#endif // ELEVATIONQUERIER_H
