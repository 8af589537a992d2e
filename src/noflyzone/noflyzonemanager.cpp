#include "noflyzonemanager.h"

#include "runinbackground.h"

#include <debugger.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QPointer>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

constexpr double Pi = 3.141592653589793;
// Each coordinate may drift this far before the kept result is recomputed.
constexpr double ReuseBox = 0.005;
// Half a degree of latitude is about 55.7 km, so the band holds every zone
// within maxDistance; it only spares distance computations.
constexpr double LatitudeBand = Pi / 360.0;
constexpr double EarthRadius = 6378135.0;

// The reading rules of the zone file. readZone() takes any source with
// integer(key) and text(key), so a faster parser only needs its own source.

// A whole JSON number, else 0; the caller cuts it to its field's width.
// Numbers beyond 64 bits read as 0 as well.
qint64 wholeNumber(const QJsonValue &value) {
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number || number < -9.2e18 ||
        number > 9.2e18)
        return 0;
    return static_cast<qint64>(number);
}

// Degrees as decimal text to radians. Text that names no finite angle reads
// as 0, so a bad entry cannot upset the latitude order.
double radiansFromText(const QString &text) {
    bool ok = false;
    const double degrees = text.toDouble(&ok);
    const double radians = ok ? degrees * Pi / 180.0 : 0.0;
    return std::isfinite(radians) ? radians : 0.0;
}

class JsonZoneFields {
public:
    explicit JsonZoneFields(const QJsonObject &object)
        : object(object) {}

    qint64 integer(const char *key) const { return wholeNumber(object.value(QLatin1String(key))); }
    QString text(const char *key) const { return object.value(QLatin1String(key)).toString(); }

private:
    const QJsonObject &object;
};

// Fills zone and returns true if the entry is a usable zone.
template<class Fields> bool readZone(const Fields &fields, NoFlyZone &zone) {
    // A negative radius wraps to a large one and so counts as usable.
    const auto radius = static_cast<uint32_t>(fields.integer("radius"));
    const auto disable = static_cast<uint8_t>(fields.integer("disable"));
    if (radius <= 1 || disable == 1)
        return false;
    zone.areaId = static_cast<int32_t>(fields.integer("area_id"));
    zone.type = static_cast<uint8_t>(fields.integer("type"));
    zone.latitude = radiansFromText(fields.text("lat"));
    zone.longitude = radiansFromText(fields.text("lng"));
    zone.radius = radius;
    zone.warning = static_cast<uint8_t>(fields.integer("warning"));
    zone.level = static_cast<uint8_t>(fields.integer("level"));
    zone.updatedAt = static_cast<uint32_t>(fields.integer("updated_at"));
    zone.beginAt = static_cast<int32_t>(fields.integer("begin_at"));
    zone.endAt = static_cast<int32_t>(fields.integer("end_at"));
    zone.name = fields.text("name");
    zone.country = static_cast<int16_t>(fields.integer("country"));
    zone.city = fields.text("city");
    zone.disable = disable;
    return true;
}

bool byLatitude(const NoFlyZone &left, const NoFlyZone &right) {
    return left.latitude < right.latitude;
}

} // namespace

NoFlyZoneManager::NoFlyZoneManager(QObject *parent)
    : QObject(parent)
    , maxDistance(50000.0) {
    initNoflyZone();
}

NoFlyZoneManager::~NoFlyZoneManager() = default;

void NoFlyZoneManager::initNoflyZone() {
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/Data/") +
                         QStringLiteral("limit.txt");
    const QPointer<NoFlyZoneManager> self(this);
    runInBackground([path, self]() -> std::function<void()> {
        // std::function wants a copyable closure; the list itself is never copied.
        auto loaded = std::make_shared<std::vector<NoFlyZone>>(loadZones(path));
        return [self, loaded]() {
            // The service may have gone while the file was read.
            if (!self)
                return;
            self->setZones(std::move(*loaded));
            Debugger(SECTION("NOFLYZONE"), "NoFlyZoneManager::initNoflyZone::onLoaded", __LINE__)
                    .Dump()
                << static_cast<unsigned long long>(self->zones.size()) << " no fly zones loaded.";
        };
    });
}

std::vector<NoFlyZone> NoFlyZoneManager::loadZones(const QString &path) {
    std::vector<NoFlyZone> loaded;
    if (!QFile::exists(path))
        return loaded;

    // Each stage is let go before the next grows, so a large file is held
    // as text, as a document and as zones only one or two at a time.
    QJsonArray limits;
    {
        QJsonDocument document;
        {
            QByteArray content;
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                content = file.readAll();
            QJsonParseError error;
            document = QJsonDocument::fromJson(content, &error);
            if (error.error != QJsonParseError::NoError || !document.isObject())
                return loaded;
        }
        limits = document.object().value(QLatin1String("release_limits")).toArray();
    }

    loaded.reserve(static_cast<size_t>(limits.size()));
    for (const QJsonValue element : qAsConst(limits)) {
        const QJsonObject object = element.toObject();
        NoFlyZone zone;
        if (readZone(JsonZoneFields(object), zone))
            loaded.push_back(std::move(zone));
    }
    limits = QJsonArray();

    std::sort(loaded.begin(), loaded.end(), byLatitude);
    return loaded;
}

void NoFlyZoneManager::setZones(std::vector<NoFlyZone> loaded) {
    zones = std::move(loaded);
}

QJsonArray NoFlyZoneManager::GetNearbyNoflyZone(double latitude, double longitude) {
    const bool reuse = lastQuery.valid && std::abs(lastQuery.latitude - latitude) <= ReuseBox &&
                       std::abs(lastQuery.longitude - longitude) <= ReuseBox;
    // The reference point stays put while reused, so the box does not drift
    // along with a slowly moving aircraft.
    if (!reuse) {
        lastQuery = LastQuery{latitude, longitude, true};
        if (!zones.empty()) {
            nearby_zones.clear();
            const auto first = std::lower_bound(
                zones.cbegin(), zones.cend(), latitude,
                [](const NoFlyZone &zone, double value) { return zone.latitude < value; });
            auto begin = first;
            while (begin != zones.cbegin() && std::prev(begin)->latitude >= latitude - LatitudeBand)
                --begin;
            auto end = first;
            while (end != zones.cend() && end->latitude <= latitude + LatitudeBand)
                ++end;
            Debugger(SECTION("NoflyZone"), "NoFlyZoneManager::GetNearbyNoflyZone", __LINE__).Dump()
                << "items in large nearby_zones: "
                << static_cast<long long>(std::distance(begin, end));

            const double cosLatitude = std::cos(latitude);
            for (auto zone = begin; zone != end; ++zone) {
                const double halfLatitude = std::sin((zone->latitude - latitude) / 2);
                const double halfLongitude = std::sin((zone->longitude - longitude) / 2);
                const double a = halfLatitude * halfLatitude + std::cos(zone->latitude) *
                                                                   cosLatitude * halfLongitude *
                                                                   halfLongitude;
                const double distance =
                    2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * EarthRadius;
                // NaN compares false, so a distance that is not a number is left out.
                if (maxDistance > distance)
                    nearby_zones.push_back(*zone);
            }
        }
    }
    Debugger(SECTION("NoflyZone"), "NoFlyZoneManager::GetNearbyNoflyZone", __LINE__).Dump()
        << "items in nearby_zones: " << static_cast<unsigned long long>(nearby_zones.size());

    QJsonArray result;
    for (const NoFlyZone &zone : nearby_zones) {
        result.append(QJsonObject{{QStringLiteral("LATI"), zone.latitude},
                                  {QStringLiteral("LONTI"), zone.longitude},
                                  {QStringLiteral("RADIUS"), static_cast<qint64>(zone.radius)},
                                  {QStringLiteral("NAME"), zone.name}});
    }
    return result;
}
