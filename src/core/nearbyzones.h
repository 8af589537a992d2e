#ifndef NEARBYZONES_H
#define NEARBYZONES_H

#include "noflyzone.h"
#include "noflyzoneindex.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The zones within 50 km of a point, out of a list sorted by ascending
// latitude (not-a-number last). A query close to the last one that was
// computed reuses its result. Whatever the index answers is exactly what the
// distance test over the latitude band keeps, in the same order.
class NearbyZones {
public:
    // What a query did: whether it searched, and how many zones lay in its
    // latitude band then.
    struct Search {
        bool searched = false;
        size_t bandSize = 0;
    };

    // Installs a complete, sorted list; queries see it whole or not at all.
    void setZones(std::vector<NoFlyZone> loaded);
    const std::vector<NoFlyZone> &zones() const { return all; }

    Search query(double latitude, double longitude);
    // The positions in zones() of the zones the last search kept, ascending.
    const std::vector<uint32_t> &result() const { return nearby; }

private:
    using Iterator = std::vector<NoFlyZone>::const_iterator;
    struct LastQuery {
        double latitude = 0.0;
        double longitude = 0.0;
        bool valid = false;
    };

    bool reuses(double latitude, double longitude) const;
    std::pair<Iterator, Iterator> band(double latitude) const;
    void keepFromIndex(double latitude, double longitude, Iterator begin, Iterator end);
    void keepFromBand(double latitude, double longitude, Iterator begin, Iterator end);
    bool withinReach(const NoFlyZone &zone, double latitude, double longitude,
                     double cosLatitude) const;

    LastQuery lastQuery;
    double maxDistance = 50000.0;
    std::vector<NoFlyZone> all;
    std::vector<uint32_t> nearby;
    NoFlyZoneIndex index;
};

#endif // NEARBYZONES_H
