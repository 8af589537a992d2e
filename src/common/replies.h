#ifndef REPLIES_H
#define REPLIES_H

#include <QJsonObject>
#include <QString>

// {"ERROR": "FAILURE", "ERROR_MESSAGE": message}: the one failure reply the
// service builds itself; controller failures pass through unchanged.
QJsonObject failureReply(const QString &message);

#endif // REPLIES_H
