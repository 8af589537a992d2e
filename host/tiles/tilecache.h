#ifndef TILECACHE_H
#define TILECACHE_H

#include <QByteArray>
#include <QString>

#include <memory>

class QSqlQuery;

// The online source's tiles as fetched, kept in an MBTiles file so an area
// once seen is there offline. The file's tiles together stay under a size
// cap; beyond it the tiles fetched longest ago go first.
class TileCache {
public:
    explicit TileCache(qint64 capBytes);
    ~TileCache();
    TileCache(const TileCache &) = delete;
    TileCache &operator=(const TileCache &) = delete;

    // Creates the file and its folder as needed. Empty on success, else why
    // there is no cache.
    QString open(const QString &file, const QString &source);

    // XYZ numbering. Empty when absent; fetched gets the time (seconds since
    // the epoch) the tile was stored.
    QByteArray tile(int z, int x, int y, qint64 *fetched = nullptr);
    bool contains(int z, int x, int y, qint64 fetchedSince);
    void store(int z, int x, int y, const QByteArray &data);
    qint64 bytes() const { return m_bytes; }

private:
    void evict();

    qint64 m_cap;
    qint64 m_bytes = 0;
    QString m_connection;
    std::unique_ptr<QSqlQuery> m_read;
    std::unique_ptr<QSqlQuery> m_write;
    bool m_warned = false;
};

#endif // TILECACHE_H
