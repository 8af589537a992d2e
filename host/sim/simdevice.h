#ifndef SIMDEVICE_H
#define SIMDEVICE_H

#include <QString>

// Who a simulated device is and where its aircraft starts (radians).
struct SimDevice {
    QString hash;
    QString deviceType;
    QString serialNumber;
    int flightType = 0;
    double latitude = 0.0;
    double longitude = 0.0;
};

#endif // SIMDEVICE_H
