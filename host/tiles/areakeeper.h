#ifndef AREAKEEPER_H
#define AREAKEEPER_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVector>

class OnlineTileSource;

// Fetches every tile of an area over a range of zooms into the online
// source's cache, so it can be flown offline. Bounded as public tile servers
// ask: no keeping above MaxZoom nor beyond MaxTiles, and its fetches wait
// behind every page request.
class AreaKeeper : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxZoom = 16;
    static constexpr qint64 MaxTiles = 5000;

    struct Area {
        double south, west, north, east;
        int minZoom, maxZoom;
    };

    // Empty when the area may be kept, else why not; count gets its tiles
    // whenever the zooms are in range.
    static QString check(const Area &area, qint64 &count);

    AreaKeeper(OnlineTileSource *source, const Area &area, QObject *parent = nullptr);
    void start();
    void cancel();

signals:
    void progress(qint64 done, qint64 failed, qint64 total);
    // state: "done", "cancelled" or "failed" (with a reason).
    void finished(const QString &state, const QString &reason);

private:
    struct Range {
        int z, x0, x1, y0, y1;
    };
    static QVector<Range> ranges(const Area &area);
    bool next(int &z, int &x, int &y);
    void feed();
    void tileDone(int status);
    void report(bool now);
    void stop(const QString &state, const QString &reason = {});

    OnlineTileSource *m_source;
    QVector<Range> m_ranges;
    qint64 m_total = 0;
    qint64 m_done = 0;
    qint64 m_failed = 0;
    int m_outstanding = 0;
    int m_range = 0;
    int m_x = 0;
    int m_y = 0;
    bool m_feeding = false;
    bool m_stopped = false;
    QElapsedTimer m_lastReport;
};

#endif // AREAKEEPER_H
