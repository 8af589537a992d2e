#include "mbtilesreader.h"

#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

int connectionCount = 0;

const QHash<QString, QByteArray> &formatTypes() {
    static const QHash<QString, QByteArray> types{{QStringLiteral("png"), "image/png"},
                                                  {QStringLiteral("jpg"), "image/jpeg"},
                                                  {QStringLiteral("jpeg"), "image/jpeg"},
                                                  {QStringLiteral("webp"), "image/webp"}};
    return types;
}

} // namespace

MbtilesReader::MbtilesReader() = default;

MbtilesReader::~MbtilesReader() {
    m_tileQuery.reset();
    if (!m_connection.isEmpty())
        QSqlDatabase::removeDatabase(m_connection);
}

QString MbtilesReader::open(const QString &file) {
    const QFileInfo info(file);
    // SQLite would wait forever on a FIFO, and read nothing useful from a folder.
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    m_name = info.completeBaseName();
    m_connection = QStringLiteral("mbtiles-%1").arg(++connectionCount);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(info.absoluteFilePath());
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!db.open())
        return db.lastError().text();

    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT name, value FROM metadata")))
        return QStringLiteral("no metadata table: ") + query.lastError().text();
    QHash<QString, QString> metadata;
    while (query.next())
        metadata.insert(query.value(0).toString(), query.value(1).toString());

    // Every tile is looked up on the host's one event loop: a table without an
    // index would read the whole file for each.
    if (!query.exec(QStringLiteral("EXPLAIN QUERY PLAN SELECT tile_data FROM tiles WHERE "
                                   "zoom_level = 0 AND tile_column = 0 AND tile_row = 0")))
        return QStringLiteral("no tiles table: ") + query.lastError().text();
    while (query.next()) {
        if (query.value(3).toString().startsWith(QLatin1String("SCAN")))
            return QStringLiteral("the tiles have no index on zoom_level, tile_column, tile_row");
    }

    m_format = metadata.value(QStringLiteral("format")).toLower();
    if (m_format.isEmpty() && query.exec(QStringLiteral("SELECT tile_data FROM tiles LIMIT 1")) &&
        query.next()) {
        const QByteArray type = imageType(query.value(0).toByteArray());
        m_format = formatTypes().key(type);
    }
    if (!formatTypes().contains(m_format))
        return QStringLiteral("format \"%1\" is not a raster format (png, jpg, webp)")
            .arg(m_format);

    bool minOk = false;
    bool maxOk = false;
    m_minZoom = metadata.value(QStringLiteral("minzoom")).toInt(&minOk);
    m_maxZoom = metadata.value(QStringLiteral("maxzoom")).toInt(&maxOk);
    if ((!minOk || !maxOk) &&
        query.exec(QStringLiteral("SELECT MIN(zoom_level), MAX(zoom_level) FROM tiles")) &&
        query.next()) {
        m_minZoom = query.value(0).toInt();
        m_maxZoom = query.value(1).toInt();
    }
    m_minZoom = qBound(0, m_minZoom, 30);
    m_maxZoom = qBound(m_minZoom, m_maxZoom, 30);

    const QStringList bounds = metadata.value(QStringLiteral("bounds")).split(QLatin1Char(','));
    double parsed[4];
    bool boundsOk = bounds.size() == 4;
    for (int i = 0; boundsOk && i < 4; ++i)
        parsed[i] = bounds.at(i).trimmed().toDouble(&boundsOk);
    if (boundsOk && parsed[0] < parsed[2] && parsed[1] < parsed[3])
        std::copy(parsed, parsed + 4, m_bounds);
    m_attribution = metadata.value(QStringLiteral("attribution"));

    m_tileQuery = std::make_unique<QSqlQuery>(db);
    m_tileQuery->setForwardOnly(true);
    if (!m_tileQuery->prepare(QStringLiteral("SELECT tile_data FROM tiles WHERE zoom_level = ? "
                                             "AND tile_column = ? AND tile_row = ?")))
        return m_tileQuery->lastError().text();
    return {};
}

QJsonObject MbtilesReader::description() const {
    return {
        {QStringLiteral("name"), m_name},
        {QStringLiteral("format"), m_format},
        {QStringLiteral("minzoom"), m_minZoom},
        {QStringLiteral("maxzoom"), m_maxZoom},
        {QStringLiteral("bounds"), QJsonArray{m_bounds[0], m_bounds[1], m_bounds[2], m_bounds[3]}},
        {QStringLiteral("attribution"), m_attribution}};
}

bool MbtilesReader::tile(int z, int x, int y, QByteArray &data) {
    data.clear();
    if (!m_tileQuery)
        return false;
    m_tileQuery->bindValue(0, z);
    m_tileQuery->bindValue(1, x);
    m_tileQuery->bindValue(2, tmsRow(z, y));
    if (!m_tileQuery->exec())
        return false;
    if (m_tileQuery->next())
        data = m_tileQuery->value(0).toByteArray();
    m_tileQuery->finish();
    return true;
}

QByteArray MbtilesReader::contentType(const QByteArray &data) const {
    const QByteArray type = imageType(data);
    return type.isEmpty() ? formatTypes().value(m_format) : type;
}

QByteArray MbtilesReader::imageType(const QByteArray &data) {
    if (data.startsWith("\x89PNG\r\n\x1a\n"))
        return "image/png";
    if (data.startsWith("\xff\xd8\xff"))
        return "image/jpeg";
    if (data.size() >= 12 && data.startsWith("RIFF") && data.mid(8, 4) == "WEBP")
        return "image/webp";
    return {};
}
