#include "tilecache.h"

#include "hostlog.h"
#include "mbtilesreader.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QVector>

namespace {
int connectionCount = 0;
// Eviction goes this far below the cap, so it does not run on every store.
constexpr double EvictTo = 0.9;
// MBTiles' own table, and when each tile came, for the eviction.
const char *const TilesTable =
    "CREATE TABLE IF NOT EXISTS tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, "
    "tile_data BLOB, fetched INTEGER, PRIMARY KEY (zoom_level, tile_column, tile_row))";
} // namespace

TileCache::TileCache(qint64 capBytes)
    : m_cap(capBytes) {}

TileCache::~TileCache() {
    m_read.reset();
    m_write.reset();
    if (!m_connection.isEmpty())
        QSqlDatabase::removeDatabase(m_connection);
}

QString TileCache::open(const QString &file, const QString &source) {
    const QFileInfo info(file);
    if (!QDir().mkpath(info.absolutePath()))
        return QStringLiteral("cannot create the folder ") + info.absolutePath();
    if (info.exists() && !info.isFile())
        return QStringLiteral("not a regular file");
    m_connection = QStringLiteral("tilecache-%1").arg(++connectionCount);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(info.absoluteFilePath());
    // Another host on another port may share the file; waiting longer for
    // its write would stall this host's event loop.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=200"));
    if (!db.open())
        return db.lastError().text();
    QSqlQuery query(db);
    // A cache may lose its last tiles at a power cut; it must not cost an
    // fsync per tile.
    for (const char *statement :
         {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = NORMAL",
          "CREATE TABLE IF NOT EXISTS metadata (name TEXT PRIMARY KEY, value TEXT)", TilesTable,
          "CREATE INDEX IF NOT EXISTS tiles_fetched ON tiles (fetched)"}) {
        if (!query.exec(QString::fromLatin1(statement)))
            return query.lastError().text();
    }
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO metadata VALUES (?, ?)"));
    for (const auto &[name, value] :
         {std::pair{QStringLiteral("name"), QStringLiteral("online")},
          std::pair{QStringLiteral("format"), QStringLiteral("png")},
          std::pair{QStringLiteral("description"), QStringLiteral("tiles of ") + source}}) {
        query.addBindValue(name);
        query.addBindValue(value);
        if (!query.exec())
            return query.lastError().text();
    }
    if (query.exec(QStringLiteral("SELECT TOTAL(LENGTH(tile_data)) FROM tiles")) && query.next())
        m_bytes = qint64(query.value(0).toDouble());
    m_read = std::make_unique<QSqlQuery>(db);
    m_read->setForwardOnly(true);
    m_write = std::make_unique<QSqlQuery>(db);
    if (!m_read->prepare(QStringLiteral("SELECT tile_data, fetched FROM tiles WHERE zoom_level = "
                                        "? AND tile_column = ? AND tile_row = ?")) ||
        !m_write->prepare(QStringLiteral("INSERT OR REPLACE INTO tiles VALUES (?, ?, ?, ?, ?)"))) {
        m_read.reset();
        m_write.reset();
        return db.lastError().text();
    }
    if (m_bytes > m_cap)
        evict();
    return {};
}

QByteArray TileCache::tile(int z, int x, int y, qint64 *fetched) {
    QByteArray data;
    if (!m_read)
        return data;
    m_read->bindValue(0, z);
    m_read->bindValue(1, x);
    m_read->bindValue(2, MbtilesReader::tmsRow(z, y));
    if (m_read->exec() && m_read->next()) {
        data = m_read->value(0).toByteArray();
        if (fetched)
            *fetched = m_read->value(1).toLongLong();
    }
    m_read->finish();
    return data;
}

bool TileCache::contains(int z, int x, int y, qint64 fetchedSince) {
    qint64 fetched = 0;
    return !tile(z, x, y, &fetched).isEmpty() && fetched >= fetchedSince;
}

void TileCache::store(int z, int x, int y, const QByteArray &data) {
    if (!m_write)
        return;
    const qint64 old = tile(z, x, y).size();
    m_write->addBindValue(z);
    m_write->addBindValue(x);
    m_write->addBindValue(MbtilesReader::tmsRow(z, y));
    m_write->addBindValue(data);
    m_write->addBindValue(QDateTime::currentSecsSinceEpoch());
    if (!m_write->exec()) {
        // Once: a full disk or a busy file would say so for every tile.
        if (!m_warned)
            qCWarning(lcHost) << "tile cache: cannot store a tile:" << m_write->lastError().text();
        m_warned = true;
        return;
    }
    m_bytes += data.size() - old;
    if (m_bytes > m_cap)
        evict();
}

void TileCache::evict() {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery oldest(db);
    QSqlQuery remove(db);
    remove.prepare(QStringLiteral("DELETE FROM tiles WHERE rowid = ?"));
    db.transaction();
    while (m_bytes > qint64(double(m_cap) * EvictTo)) {
        if (!oldest.exec(QStringLiteral("SELECT rowid, LENGTH(tile_data) FROM tiles "
                                        "ORDER BY fetched LIMIT 64")))
            break;
        QVector<QPair<QVariant, qint64>> batch;
        while (oldest.next())
            batch.append({oldest.value(0), oldest.value(1).toLongLong()});
        oldest.finish();
        if (batch.isEmpty()) {
            m_bytes = 0;
            break;
        }
        for (const auto &[rowid, size] : batch) {
            remove.addBindValue(rowid);
            if (remove.exec())
                m_bytes -= size;
        }
    }
    db.commit();
}
