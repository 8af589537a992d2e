#include "elevationquerier.h"

// Placeholder until the elevation querier lands.
ElevationQuerier::ElevationQuerier(QObject *parent)
    : QObject(parent)
{
}
ElevationQuerier::~ElevationQuerier() = default;
void ElevationQuerier::networkError(QNetworkReply::NetworkError) {}
void ElevationQuerier::replyFinished() {}
bool ElevationQuerier::loadJson(QByteArray, QJsonObject &, QString &) { return false; }
