#ifndef NOFLYZONEINDEX_H
#define NOFLYZONEINDEX_H

#include "noflyzone.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Narrows a nearby-zone search from the whole latitude band to the zones
// whose longitude could still lie within reach. The zones are cut into thin
// latitude strips, each sorted by longitude, so a query looks at a box
// around the point instead of a band around the globe.
class NoFlyZoneIndex {
public:
    // zones must be sorted by ascending latitude, not-a-number last, and
    // outlive the index's use.
    void build(const std::vector<NoFlyZone> &zones);
    void clear();

    // Whether nearby() can answer for this point; if not, the caller
    // examines the whole band.
    bool covers(double latitude, double longitude, double maxDistance) const;

    // Appends the positions in [first, last) of every zone closer than
    // maxDistance (metres) to the point, by Geometry::zoneDistance as the
    // band scan tests it, in no particular order.
    void nearby(double latitude, double longitude, double maxDistance, size_t first, size_t last,
                std::vector<uint32_t> &positions) const;

private:
    // The centre is kept beside the reduced longitude, so the exact test
    // reads the entries in order instead of zones all over the list.
    struct Entry {
        double reduced; // the longitude reduced to [-pi, pi]
        double latitude;
        double longitude;
        uint32_t position;
    };
    struct Query {
        double latitude, longitude, cosLatitude, maxDistance;
        size_t first, last;
    };

    void collect(size_t strip, double from, double to, const Query &query,
                 std::vector<uint32_t> &positions) const;
    static void keep(const Entry &entry, const Query &query, std::vector<uint32_t> &positions);

    bool usable = false;
    std::vector<Entry> entries;
    std::vector<uint32_t> stripStart;
    // Zones within the strips' latitudes whose longitude is too large to
    // reduce exactly; every search looks at them one by one.
    std::vector<Entry> unreduced;
};

#endif // NOFLYZONEINDEX_H
