#include "replies.h"

QJsonObject failureReply(const QString &message) {
    return {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
            {QStringLiteral("ERROR_MESSAGE"), message}};
}
