#include "elevationquerier.h"

#include <debugger.h>

#include <QJsonDocument>
#include <QJsonParseError>

#include <exception>

ElevationQuerier::ElevationQuerier(QObject *parent)
    : QObject(parent) {}

ElevationQuerier::~ElevationQuerier() = default;

void ElevationQuerier::networkError(QNetworkReply::NetworkError errWhat) {
    Q_UNUSED(errWhat)
    QObject *reply = sender();
    if (!reply)
        return;
    // The waiting callback is dropped unanswered: there is nothing to give it.
    pendingQueries.remove(reply);
    reply->deleteLater();
}

void ElevationQuerier::replyFinished() {
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;

    QByteArray data;
    try {
        data = QByteArray::fromPercentEncoding(reply->readAll(), '%');
        reply->deleteLater();
    } catch (...) {
        reply->deleteLater();
        ORU_LOG_WARNING("Elevation") << "Network Exception!!";
        return;
    }
    if (data.isEmpty())
        return;

    QJsonObject json;
    QString errwhy;
    if (loadJson(data, json, errwhy)) {
        // An answer is recognised, but nothing in the service consumes it yet.
        const bool answered = json.value(QLatin1String("status")).toString() == QLatin1String("OK");
        Q_UNUSED(answered)
    }
}

bool ElevationQuerier::loadJson(QByteArray ba, QJsonObject &json, QString &errwhy) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(ba, &error);
    if (error.error == QJsonParseError::NoError && document.isObject()) {
        json = document.object();
        return true;
    }
    errwhy = error.errorString();
    return false;
}
