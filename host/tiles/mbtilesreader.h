#ifndef MBTILESREADER_H
#define MBTILESREADER_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>

class QSqlQuery;

// One MBTiles file of raster tiles (PNG, JPEG or WebP), opened read-only.
// Callers number tiles XYZ (row 0 at the north); the file keeps TMS rows.
class MbtilesReader {
public:
    MbtilesReader();
    ~MbtilesReader();
    MbtilesReader(const MbtilesReader &) = delete;
    MbtilesReader &operator=(const MbtilesReader &) = delete;

    // Empty on success, else why the file cannot be served.
    QString open(const QString &file);

    // The file's base name: the layer's name in URLs.
    QString name() const { return m_name; }
    int minZoom() const { return m_minZoom; }
    int maxZoom() const { return m_maxZoom; }
    // The layer as GET /tiles lists it.
    QJsonObject description() const;

    // False on a read error; a tile that is not there is an empty data.
    bool tile(int z, int x, int y, QByteArray &data);
    // The content type the tile's bytes show, else the file's format's.
    QByteArray contentType(const QByteArray &data) const;

    static int tmsRow(int z, int y) { return (1 << z) - 1 - y; }
    // From the first bytes; empty for anything but PNG, JPEG and WebP.
    static QByteArray imageType(const QByteArray &data);

private:
    QString m_connection;
    std::unique_ptr<QSqlQuery> m_tileQuery;
    QString m_name;
    QString m_format;
    QString m_attribution;
    int m_minZoom = 0;
    int m_maxZoom = 0;
    double m_bounds[4] = {-180, -85.0511, 180, 85.0511}; // west, south, east, north
};

#endif // MBTILESREADER_H
