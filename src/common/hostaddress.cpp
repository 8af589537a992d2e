#include "hostaddress.h"

#include <QtGlobal>

quint16 HostAddress::port() {
    bool ok = false;
    const uint value = qEnvironmentVariable("ORU_HOST_PORT").toUInt(&ok);
    return ok && value >= 1 && value <= 65535 ? quint16(value) : DefaultPort;
}

QUrl HostAddress::url(const QString &path) {
    return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port()) + path, QUrl::TolerantMode);
}
