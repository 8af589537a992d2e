#ifndef SIMREPLY_H
#define SIMREPLY_H

#include <QJsonObject>
#include <QString>

// The replies of the admin commands, wherever the simulator runs them.
namespace SimReply {

inline QJsonObject success(const QJsonValue &value = QJsonValue(QJsonValue::Undefined)) {
    QJsonObject reply{{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
    if (!value.isUndefined())
        reply.insert(QStringLiteral("VALUE"), value);
    return reply;
}

inline QJsonObject failure(const QString &message) {
    return {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
            {QStringLiteral("ERROR_MESSAGE"), message}};
}

inline bool succeeded(const QJsonObject &reply) {
    return reply.value(QStringLiteral("ERROR")).toString() == QLatin1String("SUCCESS");
}

} // namespace SimReply

#endif // SIMREPLY_H
