#include "hostserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QMimeDatabase>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWebSocketServer>

namespace {

// A request head larger than this is not a browser's nor ours.
constexpr int MaxHeadSize = 16 * 1024;
// A client that has not sent its whole head by then is dropped.
constexpr int HeadTimeoutMs = 10000;

struct RequestHead {
    QByteArray method;
    QByteArray target;
    QHash<QByteArray, QByteArray> headers; // names in lower case
};

bool parseHead(const QByteArray &head, RequestHead &out) {
    const QList<QByteArray> lines = head.split('\n');
    if (lines.isEmpty())
        return false;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1."))
        return false;
    out.method = requestLine.at(0);
    out.target = requestLine.at(1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        const int colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        out.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    return true;
}

} // namespace

HostServer::HostServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &HostServer::onNewConnection);
}

HostServer::~HostServer() = default;

void HostServer::addRoute(const QString &path, QWebSocketServer *server, bool prefix) {
    m_routes.append({path, server, prefix});
}

void HostServer::setWebRoot(const QString &dir) {
    m_webRoot = QFileInfo(dir).canonicalFilePath();
}

void HostServer::setVendorRoot(const QString &dir, const QStringList &packages) {
    m_vendorRoot = QFileInfo(dir).canonicalFilePath();
    m_vendorPackages = packages;
}

bool HostServer::listen(quint16 port) {
    m_port = port;
    // Loopback only: nothing on the network may command an aircraft.
    return m_server->listen(QHostAddress::LocalHost, port);
}

QString HostServer::errorString() const {
    return m_server->errorString();
}

void HostServer::onNewConnection() {
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
        deadline->start(HeadTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable())
            onReadyRead(socket);
    }
}

void HostServer::onReadyRead(QTcpSocket *socket) {
    // Peek only: a WebSocket upgrade must reach its server with the head unread.
    const QByteArray buffered = socket->peek(MaxHeadSize + 4);
    const int end = buffered.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffered.size() > MaxHeadSize)
            respond(socket, 431, "Request Header Fields Too Large");
        return;
    }
    RequestHead head;
    if (!parseHead(buffered.left(end), head)) {
        respond(socket, 400, "Bad Request");
        return;
    }
    const QString path = QUrl(QString::fromLatin1(head.target)).path();
    if (head.headers.value("upgrade").toLower().contains("websocket")) {
        const Route *route = findRoute(path);
        if (!route) {
            respond(socket, 404, "Not Found");
            return;
        }
        if (head.headers.contains("origin") && !originAllowed(head.headers.value("origin"))) {
            respond(socket, 403, "Forbidden");
            return;
        }
        // Not from inside the socket's own readyRead: after the signal the
        // socket re-arms its notifier on this thread, even if it has moved.
        socket->disconnect(this);
        QPointer<QTcpSocket> pending(socket);
        QWebSocketServer *server = route->server;
        QMetaObject::invokeMethod(
            this,
            [this, pending, server]() {
                if (pending)
                    handOver(pending, server);
            },
            Qt::QueuedConnection);
        return;
    }
    socket->read(end + 4);
    serveFile(socket, head.method, path);
}

void HostServer::handOver(QTcpSocket *socket, QWebSocketServer *server) {
    socket->disconnect(this);
    socket->disconnect(socket);
    qDeleteAll(socket->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly));
    socket->setParent(nullptr);
    if (server->thread() != thread())
        socket->moveToThread(server->thread());
    QPointer<QWebSocketServer> target(server);
    QMetaObject::invokeMethod(
        server,
        [target, socket]() {
            if (target)
                target->handleConnection(socket);
            else
                socket->deleteLater();
        },
        Qt::QueuedConnection);
}

const HostServer::Route *HostServer::findRoute(const QString &path) const {
    for (const Route &route : m_routes) {
        if (route.prefix ? (path.startsWith(route.path) && path.size() > route.path.size())
                         : path == route.path)
            return &route;
    }
    return nullptr;
}

bool HostServer::originAllowed(const QByteArray &origin) const {
    const QByteArray port = QByteArray::number(m_port);
    return origin == "http://127.0.0.1:" + port || origin == "http://localhost:" + port;
}

QString HostServer::resolveFile(const QString &urlPath) const {
    QString root = m_webRoot;
    QString relative = urlPath;
    static const QString vendor = QStringLiteral("/vendor/");
    if (relative.startsWith(vendor)) {
        const QString rest = relative.mid(vendor.size());
        const QString package = rest.section(QLatin1Char('/'), 0, 0);
        if (!m_vendorPackages.contains(package) || m_vendorRoot.isEmpty())
            return {};
        root = m_vendorRoot;
        relative = QLatin1Char('/') + rest;
    }
    if (root.isEmpty() || relative.contains(QLatin1String("..")) || relative.contains(QChar(0)))
        return {};
    QFileInfo info(root + QDir::cleanPath(relative));
    if (info.isDir())
        info.setFile(info.filePath() + QStringLiteral("/index.html"));
    // A link inside the root must not lead out of it either.
    QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !info.isFile() || !canonical.startsWith(root + QLatin1Char('/')))
        return {};
    return canonical;
}

void HostServer::serveFile(QTcpSocket *socket, const QByteArray &method, const QString &path) {
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        respond(socket, 405, "Method Not Allowed");
        return;
    }
    const QString file = resolveFile(path);
    QFile f(file);
    if (file.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        respond(socket, 404, "Not Found", "text/plain", "not found\n", head);
        return;
    }
    static const QMimeDatabase mimes;
    QByteArray type = mimes.mimeTypeForFile(file, QMimeDatabase::MatchExtension).name().toLatin1();
    if (file.endsWith(QLatin1String(".js")) || file.endsWith(QLatin1String(".mjs")))
        type = "text/javascript"; // module scripts are refused under any other type
    if (type.startsWith("text/") || type == "application/json")
        type += "; charset=utf-8";
    respond(socket, 200, "OK", type, f.readAll(), head);
}

void HostServer::respond(QTcpSocket *socket, int status, const QByteArray &reason,
                         const QByteArray &contentType, const QByteArray &body, bool headOnly) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out +=
        "Cache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    if (!headOnly)
        out += body;
    socket->disconnect(this);
    socket->readAll();
    socket->write(out);
    socket->disconnectFromHost();
}
