#include "areakeeper.h"

#include "onlinetilesource.h"
#include "tilecache.h"

#include <QDateTime>
#include <QPointer>

#include <cmath>

namespace {
constexpr double MaxLatitude = 85.0511287798;
constexpr int ReportMs = 100;

int column(double lng, int z) {
    const int n = 1 << z;
    return qBound(0, int(std::floor((lng + 180.0) / 360.0 * n)), n - 1);
}

int row(double lat, int z) {
    const int n = 1 << z;
    const double phi = qBound(-MaxLatitude, lat, MaxLatitude) * M_PI / 180.0;
    const double y = (1.0 - std::log(std::tan(phi) + 1.0 / std::cos(phi)) / M_PI) / 2.0;
    return qBound(0, int(std::floor(y * n)), n - 1);
}
} // namespace

QVector<AreaKeeper::Range> AreaKeeper::ranges(const Area &area) {
    QVector<Range> out;
    for (int z = area.minZoom; z <= area.maxZoom; ++z)
        out.append({z, column(area.west, z), column(area.east, z), row(area.north, z),
                    row(area.south, z)});
    return out;
}

QString AreaKeeper::check(const Area &area, qint64 &count) {
    count = 0;
    if (area.minZoom < 0 || area.minZoom > area.maxZoom)
        return QStringLiteral("the zoom range is empty");
    if (area.maxZoom > MaxZoom)
        return QStringLiteral("the tile source's policy allows keeping up to zoom %1").arg(MaxZoom);
    const double values[] = {area.south, area.west, area.north, area.east};
    if (!std::all_of(std::begin(values), std::end(values),
                     [](double v) { return std::isfinite(v); }) ||
        area.south >= area.north || area.west >= area.east || area.south < -90 || area.north > 90 ||
        area.west < -180 || area.east > 180)
        return QStringLiteral("the area is not a box of latitudes and longitudes");
    for (const Range &r : ranges(area))
        count += qint64(r.x1 - r.x0 + 1) * (r.y1 - r.y0 + 1);
    if (count > MaxTiles)
        return QStringLiteral("%1 tiles: the tile source's policy allows keeping %2 at once")
            .arg(count)
            .arg(MaxTiles);
    return {};
}

AreaKeeper::AreaKeeper(OnlineTileSource *source, const Area &area, QObject *parent)
    : QObject(parent)
    , m_source(source)
    , m_ranges(ranges(area)) {
    for (const Range &r : m_ranges)
        m_total += qint64(r.x1 - r.x0 + 1) * (r.y1 - r.y0 + 1);
    if (!m_ranges.isEmpty()) {
        m_x = m_ranges.first().x0;
        m_y = m_ranges.first().y0;
    }
}

void AreaKeeper::start() {
    m_lastReport.start();
    report(true);
    feed();
}

void AreaKeeper::cancel() {
    stop(QStringLiteral("cancelled"));
}

bool AreaKeeper::next(int &z, int &x, int &y) {
    if (m_range >= m_ranges.size())
        return false;
    const Range &r = m_ranges.at(m_range);
    z = r.z;
    x = m_x;
    y = m_y;
    if (++m_y > r.y1) {
        m_y = r.y0;
        if (++m_x > r.x1 && ++m_range < m_ranges.size()) {
            m_x = m_ranges.at(m_range).x0;
            m_y = m_ranges.at(m_range).y0;
        }
    }
    return true;
}

void AreaKeeper::feed() {
    // A tile the cache answers at once comes back inside fetch(); the loop
    // here goes on with the next, rather than the stack growing per tile.
    if (m_feeding)
        return;
    m_feeding = true;
    const qint64 freshSince = QDateTime::currentSecsSinceEpoch() - OnlineTileSource::RefreshSecs;
    int z = 0;
    int x = 0;
    int y = 0;
    while (!m_stopped && m_outstanding < OnlineTileSource::Concurrency && next(z, x, y)) {
        if (m_source->cache() && m_source->cache()->contains(z, x, y, freshSince)) {
            ++m_done;
            report(false);
            continue;
        }
        ++m_outstanding;
        QPointer<AreaKeeper> self(this);
        m_source->fetch(
            z, x, y, this,
            [self](int status, const QByteArray &) {
                if (self)
                    self->tileDone(status);
            },
            true);
    }
    m_feeding = false;
    if (!m_stopped && m_outstanding == 0 && m_range >= m_ranges.size()) {
        report(true);
        stop(QStringLiteral("done"));
    }
}

void AreaKeeper::tileDone(int status) {
    --m_outstanding;
    if (m_stopped)
        return;
    // A tile the server does not have is as kept as it can be.
    if (status == 200 || status == 404)
        ++m_done;
    else
        ++m_failed;
    report(false);
    if (!m_source->reachable()) {
        report(true);
        stop(QStringLiteral("failed"), QStringLiteral("the tile source cannot be reached"));
        return;
    }
    feed();
}

void AreaKeeper::report(bool now) {
    if (!now && !m_lastReport.hasExpired(ReportMs))
        return;
    m_lastReport.restart();
    emit progress(m_done, m_failed, m_total);
}

void AreaKeeper::stop(const QString &state, const QString &reason) {
    if (m_stopped)
        return;
    m_stopped = true;
    emit finished(state, reason);
}
