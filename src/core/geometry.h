#ifndef GEOMETRY_H
#define GEOMETRY_H

#include <QtMath>

#include <cmath>

// Angles on the globe, in radians; Pi is M_PI from <QtMath>.
namespace Geometry {

// Two Earth radii, each fixed by the data it measures. The zone file's
// 50 km reach was drawn on a sphere of 6378135 m (the WGS72 equator), and
// replies must keep exactly the zones they always kept. The simulator
// follows the aircraft's own navigation, which uses WGS84's 6378137 m.
constexpr double ZoneEarthRadius = 6378135.0;
constexpr double Wgs84EarthRadius = 6378137.0;

// A longitude in [-pi, pi].
inline double reducedLongitude(double longitude) {
    return std::remainder(longitude, 2 * M_PI);
}

inline double squaredHalfSine(double angle) {
    const double s = std::sin(angle / 2);
    return s * s;
}

// The haversine distance in metres on the zones' sphere. cosLatitude is
// cos(latitude), passed in so a query computes it once for many zones.
inline double zoneDistance(double zoneLatitude, double zoneLongitude, double latitude,
                           double longitude, double cosLatitude) {
    const double halfLatitude = std::sin((zoneLatitude - latitude) / 2);
    const double halfLongitude = std::sin((zoneLongitude - longitude) / 2);
    const double a = halfLatitude * halfLatitude +
                     std::cos(zoneLatitude) * cosLatitude * halfLongitude * halfLongitude;
    return 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * ZoneEarthRadius;
}

} // namespace Geometry

#endif // GEOMETRY_H
