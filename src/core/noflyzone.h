#ifndef NOFLYZONE_H
#define NOFLYZONE_H

#include <QString>

#include <cstdint>

// One no-fly zone; the centre is in radians.
struct NoFlyZone {
    int32_t areaId = 0;
    uint8_t type = 0;
    double latitude = 0.0;
    double longitude = 0.0;
    uint32_t radius = 0;
    uint8_t warning = 0;
    uint8_t level = 0;
    uint8_t disable = 0;
    uint32_t updatedAt = 0;
    int32_t beginAt = 0;
    int32_t endAt = 0;
    QString name;
    int16_t country = 0;
    QString city;
};

#endif // NOFLYZONE_H
