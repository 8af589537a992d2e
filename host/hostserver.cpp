#include "hostserver.h"

#include "hostlog.h"
#include "incomingmeter.h"
#include "tileserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QMimeDatabase>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWebSocketServer>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace {

// An online tile may wait for its source this long, after its head.
constexpr int TileTimeoutMs = 60000;
// A request head larger than this is not a browser's nor ours.
constexpr int MaxHeadSize = 16 * 1024;
// A client that has not sent its whole head by then is dropped.
constexpr int HeadTimeoutMs = 10000;
// While the descriptor table is full, accepting pauses for this long, doubling
// up to the last value while it stays full.
constexpr int FirstBackoffMs = 50;
constexpr int LastBackoffMs = 2000;
// Clients taken from the backlog per turn of the event loop, and refused at
// once on one spare descriptor while the table is full.
constexpr int AcceptedPerRound = 64;

const QByteArray BusyBody = "too many clients\n";

int openReserve() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// Reads what the client has sent first: closing with unread data resets the
// connection, and the client might never see the answer.
void refuseBusy(int fd) {
    char sink[4096];
    for (int i = 0; i < 4 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    const QByteArray reply = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                             "Content-Length: " +
                             QByteArray::number(BusyBody.size()) + "\r\nConnection: close\r\n\r\n" +
                             BusyBody;
    [[maybe_unused]] const auto sent =
        ::send(fd, reply.constData(), size_t(reply.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(fd);
}

struct RequestHead {
    QByteArray method;
    QByteArray target;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    bool repeatedOrigin = false;
};

// No NUL, space or other control byte: such a target would name another path
// than the one checked.
bool cleanTarget(const QByteArray &target) {
    return std::none_of(target.begin(), target.end(),
                        [](char c) { return uchar(c) <= 0x20 || uchar(c) == 0x7f; });
}

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
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "origin" && out.headers.contains(name))
            out.repeatedOrigin = true;
        out.headers.insert(name, line.mid(colon + 1).trimmed());
    }
    return true;
}

} // namespace

HostServer::HostServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_acceptBackoff(new QTimer(this))
    , m_backoffMs(FirstBackoffMs)
    , m_reserveFd(openReserve())
    , m_clients(std::make_shared<std::atomic<int>>(0))
    , m_maxClients(std::numeric_limits<int>::max()) {
    m_acceptBackoff->setSingleShot(true);
    connect(m_acceptBackoff, &QTimer::timeout, this, [this]() { m_acceptor->setEnabled(true); });
}

HostServer::~HostServer() {
    if (m_reserveFd >= 0)
        ::close(m_reserveFd);
}

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
    if (!m_server->listen(QHostAddress::LocalHost, port))
        return false;
    // Accepting is done here: Qt's own retries a full descriptor table as
    // fast as the event loop turns, and never tells.
    m_server->pauseAccepting();
    m_acceptor = new QSocketNotifier(m_server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptor, &QSocketNotifier::activated, this, &HostServer::acceptClients);
    return true;
}

QString HostServer::errorString() const {
    return m_server->errorString();
}

quint16 HostServer::serverPort() const {
    return m_server->serverPort();
}

void HostServer::acceptClients() {
    for (int i = 0; i < AcceptedPerRound; ++i) {
        const int fd = ::accept4(int(m_server->socketDescriptor()), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            m_backoffMs = FirstBackoffMs;
            admit(fd);
        } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            backOff();
            return;
        } else if (errno != EINTR && errno != ECONNABORTED) {
            return; // EAGAIN: the backlog is empty
        }
    }
}

void HostServer::admit(int fd) {
    if (*m_clients >= m_maxClients) {
        refuseBusy(fd);
        return;
    }
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    new ClientSlot(m_clients, socket);
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
    deadline->start(HeadTimeoutMs);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void HostServer::backOff() {
    if (m_backoffMs == FirstBackoffMs)
        qCWarning(lcHost) << "descriptor table full; refusing clients until some leave";
    refuseWaitingClients();
    // Retrying at once would only fail again, as fast as the loop can spin.
    m_acceptor->setEnabled(false);
    m_acceptBackoff->start(m_backoffMs);
    m_backoffMs = qMin(m_backoffMs * 2, LastBackoffMs);
}

void HostServer::refuseWaitingClients() {
    if (m_reserveFd >= 0)
        ::close(m_reserveFd);
    for (int i = 0; i < AcceptedPerRound; ++i) {
        const int fd = ::accept4(int(m_server->socketDescriptor()), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            break;
        refuseBusy(fd);
    }
    m_reserveFd = openReserve();
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
    if (!parseHead(buffered.left(end), head) || !cleanTarget(head.target)) {
        respond(socket, 400, "Bad Request");
        return;
    }
    // One Origin header, or none: with two, which one a check reads is a guess.
    if (head.repeatedOrigin) {
        respond(socket, 403, "Forbidden");
        return;
    }
    const QString path = QUrl(QString::fromLatin1(head.target)).path();
    if (path.contains(QChar(0))) {
        respond(socket, 400, "Bad Request");
        return;
    }
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
    if (m_tiles && TileServer::handles(path))
        serveTile(socket, head.method, path);
    else
        serveFile(socket, head.method, path);
}

void HostServer::handOver(QTcpSocket *socket, QWebSocketServer *server) {
    socket->disconnect(this);
    socket->disconnect(socket);
    qDeleteAll(socket->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly));
    socket->setParent(nullptr);
    new IncomingMeter(socket);
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

void HostServer::serveTile(QTcpSocket *socket, const QByteArray &method, const QString &path) {
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        respond(socket, 405, "Method Not Allowed");
        return;
    }
    // Nothing more is read from a client that waits for its tile; its
    // deadline now covers the source's answer.
    socket->disconnect(this);
    if (auto *deadline = socket->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        deadline->start(TileTimeoutMs);
    QPointer<QTcpSocket> client(socket);
    m_tiles->serve(path, socket, [this, client, head](const TileServer::Reply &reply) {
        static const QHash<int, QByteArray> reasons{
            {200, "OK"},          {400, "Bad Request"},
            {404, "Not Found"},   {500, "Internal Server Error"},
            {502, "Bad Gateway"}, {503, "Service Unavailable"}};
        if (client)
            respond(client, reply.status, reasons.value(reply.status, "Error"), reply.contentType,
                    reply.body, head, reply.cacheControl);
    });
}

void HostServer::respond(QTcpSocket *socket, int status, const QByteArray &reason,
                         const QByteArray &contentType, const QByteArray &body, bool headOnly,
                         const QByteArray &cacheControl) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    // The page's About box reads the version here.
    out += "Server: " + QCoreApplication::applicationName().toUtf8() + '/' +
           QCoreApplication::applicationVersion().toUtf8() + "\r\n";
    out += "Cache-Control: " + cacheControl +
           "\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    if (!headOnly)
        out += body;
    socket->disconnect(this);
    socket->readAll();
    socket->write(out);
    socket->disconnectFromHost();
}
