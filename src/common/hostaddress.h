#ifndef HOSTADDRESS_H
#define HOSTADDRESS_H

#include <QString>
#include <QUrl>

// The one place for the host's address: the plug-in dials
// ws://127.0.0.1:<port>, the port taken from ORU_HOST_PORT, else 19870.
namespace HostAddress {

constexpr quint16 DefaultPort = 19870;

// ORU_HOST_PORT when it holds a port number (1 to 65535), else DefaultPort.
quint16 port();
// ws://127.0.0.1:<port()> followed by path, which starts with '/'.
QUrl url(const QString &path);

} // namespace HostAddress

#endif // HOSTADDRESS_H
