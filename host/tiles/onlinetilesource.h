#ifndef ONLINETILESOURCE_H
#define ONLINETILESOURCE_H

#include <QElapsedTimer>
#include <QHash>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

#include <functional>

class TileCache;

// Tiles from a public tile server (an {z}/{x}/{y} URL template), each fetched
// once and then served from the cache. Kept to what such servers ask of
// their users: two requests at a time, a User-Agent that names the program,
// no fetches for a while after the server could not be reached, and tiles
// that no one waits for any longer are not fetched at all.
class OnlineTileSource : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxZoom = 19;
    static constexpr int Concurrency = 2;
    // Page requests waiting for a connection; more are answered 503.
    static constexpr int MaxWaiting = 256;
    static constexpr qint64 MaxTileBytes = 1 << 20;
    static constexpr int TimeoutMs = 15000;
    // After the server could not be reached, only the cache answers this long.
    static constexpr int BackoffMs = 10000;
    // Older cached tiles are fetched again when the server can be reached.
    static constexpr qint64 RefreshSecs = 30LL * 24 * 3600;

    // status: 200 with the tile, 404 when the server has none, 502 when it
    // cannot be reached and the cache has none, 503 when too many wait.
    using Done = std::function<void(int status, const QByteArray &data)>;

    // cache may be null: then every tile is fetched from the server.
    OnlineTileSource(const QString &urlTemplate, TileCache *cache, QObject *parent = nullptr);
    ~OnlineTileSource() override;

    // Empty when the template can be used, else why not.
    static QString checkTemplate(const QString &urlTemplate);

    // done may run before this returns (cached tiles). A tile whose every
    // waiter's owner is gone is not fetched. Background fetches (keeping an
    // area) wait behind every page request.
    void fetch(int z, int x, int y, QObject *owner, Done done, bool background = false);
    bool reachable() const;
    TileCache *cache() const { return m_cache; }

private:
    struct Waiter {
        QPointer<QObject> owner;
        Done done;
    };
    struct Pending {
        int z, x, y;
        QVector<Waiter> waiters;
    };

    void pump();
    void start(quint64 key);
    void finish(quint64 key, int status, const QByteArray &data);
    void finished(quint64 key, QNetworkReply *reply);

    QString m_template;
    TileCache *m_cache;
    QNetworkAccessManager m_network;
    QHash<quint64, Pending> m_pending;
    QQueue<quint64> m_waiting;
    QQueue<quint64> m_background;
    int m_inFlight = 0;
    QElapsedTimer m_unreachableSince;
};

#endif // ONLINETILESOURCE_H
