#ifndef HOSTSERVER_H
#define HOSTSERVER_H

#include "clientslot.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QVector>

class QTcpServer;
class QSocketNotifier;
class QTcpSocket;
class QTimer;
class QWebSocketServer;
class TileServer;

// The host's one listening socket: plain HTTP GET of the web client's files,
// and WebSocket upgrades handed to the QWebSocketServer registered for the
// request's path. Only loopback, only the host's own page as Origin, and at
// most a set number of clients at once.
class HostServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 DefaultPort = 19870;

    explicit HostServer(QObject *parent = nullptr);
    ~HostServer() override;

    // Upgrades whose path equals path (or starts with it, for a prefix route)
    // go to server, which may live on another thread; it is never listened on.
    void addRoute(const QString &path, QWebSocketServer *server, bool prefix = false);

    void setWebRoot(const QString &dir);
    // GET /tiles and /tiles/... are answered by tiles, when set.
    void setTileServer(TileServer *tiles) { m_tiles = tiles; }
    // Files under /vendor/<package>/ come from this node_modules folder, for
    // the listed packages only.
    void setVendorRoot(const QString &dir, const QStringList &packages);

    // Connections beyond this many at once, plain HTTP and WebSocket alike,
    // are answered 503. Each lasts until its socket is gone.
    void setMaxClients(int count) { m_maxClients = count; }
    int clientCount() const { return *m_clients; }

    bool listen(quint16 port = DefaultPort);
    QString errorString() const;
    quint16 serverPort() const;

private:
    struct Route {
        QString path;
        QWebSocketServer *server;
        bool prefix;
    };

    void acceptClients();
    void admit(int fd);
    void backOff();
    void refuseWaitingClients();
    void onReadyRead(QTcpSocket *socket);
    void handOver(QTcpSocket *socket, QWebSocketServer *server);
    void serveFile(QTcpSocket *socket, const QByteArray &method, const QString &path);
    void serveTile(QTcpSocket *socket, const QByteArray &method, const QString &path);
    void respond(QTcpSocket *socket, int status, const QByteArray &reason,
                 const QByteArray &contentType = QByteArray(),
                 const QByteArray &body = QByteArray(), bool headOnly = false,
                 const QByteArray &cacheControl = "no-cache");
    QString resolveFile(const QString &urlPath) const;
    const Route *findRoute(const QString &path) const;
    bool originAllowed(const QByteArray &origin) const;

    QTcpServer *m_server;
    QSocketNotifier *m_acceptor = nullptr;
    QTimer *m_acceptBackoff;
    int m_backoffMs;
    // Held so that a full descriptor table still leaves one to tell waiting
    // clients "503" instead of letting them hang in the backlog.
    int m_reserveFd;
    ClientSlot::Counter m_clients;
    int m_maxClients;
    QVector<Route> m_routes;
    QString m_webRoot;
    QString m_vendorRoot;
    QStringList m_vendorPackages;
    TileServer *m_tiles = nullptr;
    quint16 m_port = DefaultPort;
};

#endif // HOSTSERVER_H
