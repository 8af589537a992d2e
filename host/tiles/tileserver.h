#ifndef TILESERVER_H
#define TILESERVER_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class AreaKeeper;
class MbtilesReader;
class OnlineTileSource;
class QWebSocket;
class QWebSocketServer;
class TileCache;

// Map tiles for the page: GET /tiles lists the layers, GET
// /tiles/<layer>/<z>/<x>/<y> answers one tile in XYZ numbering. Layers are
// the offline packs (MBTiles files) and, when one is given, the online
// source as "online". The WebSocket path /tiles/keep keeps an area of the
// online source offline. Nothing but the configured files is ever opened:
// a layer is a name looked up, never a path.
class TileServer : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxZoom = 30;

    struct Reply {
        int status;
        QByteArray contentType;
        QByteArray body;
        QByteArray cacheControl;
    };
    using Respond = std::function<void(const Reply &)>;

    explicit TileServer(QObject *parent = nullptr);
    ~TileServer() override;

    // Empty on success, else why the file is not served.
    QString addPack(const QString &file);
    // cacheFile may be empty (no cache), or fail to open; tiles are then
    // fetched each time. Empty on success, else why the source is not served.
    QString setOnline(const QString &urlTemplate, const QString &attribution,
                      const QString &cacheFile, qint64 cacheBytes);
    bool hasOnline() const { return m_online != nullptr; }
    // Upgrades of /tiles/keep go here.
    QWebSocketServer *keepServer() const { return m_keepServer; }

    static bool handles(const QString &path);
    // respond runs once, now or when an online tile arrives; client is the
    // connection asking, whose going away makes its tile unwanted.
    void serve(const QString &path, QObject *client, const Respond &respond);

private:
    MbtilesReader *pack(const QString &name) const;
    void onKeepConnection();
    void onKeepMessage(QWebSocket *socket, const QString &text);

    std::vector<std::unique_ptr<MbtilesReader>> m_packs;
    std::unique_ptr<TileCache> m_cache;
    OnlineTileSource *m_online = nullptr;
    QString m_onlineAttribution;
    QWebSocketServer *m_keepServer;
    QPointer<AreaKeeper> m_keeper;
};

#endif // TILESERVER_H
