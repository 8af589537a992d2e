#ifndef WAYLINEMISSION_H
#define WAYLINEMISSION_H

#include <QVector>

#include <array>
#include <cstdint>

// Waypoint action codes; the command list carries them by name.
enum emWP_ACTION : unsigned char {
    WP_ACTION_STAY = 0,
    WP_ACTION_SIMPLE_SHOT = 1,
    WP_ACTION_VIDEO_START = 2,
    WP_ACTION_VIDEO_STOP = 3,
    WP_ACTION_CRAFT_YAW = 4,
    WP_ACTION_GIMBAL_PITCH = 5,
};

// One waypoint as the controller takes it. Every field starts at zero, so
// command slots beyond those given and unset options read as zero.
struct tagWAYLINE_WAYPOINT {
    uint8_t index = 0;
    double latitude = 0.0;
    double longitude = 0.0;
    float altitude = 0.0f;
    float dampingDistance = 0.0f;
    int16_t targetYaw = 0;
    int16_t targetGimbalPitch = 0;
    uint8_t turnMode = 0;
    uint8_t hasSpeed = 0;
    uint16_t speed = 0; // hundredths of the JSON value
    uint8_t hasAction = 0;
    uint16_t actionTimeLimit = 0;
    uint8_t actionNumRpt = 0; // low nibble: action count, high nibble: repeat count
    std::array<uint8_t, 16> commandList{};
    std::array<int16_t, 16> commandParameter{};

    uint8_t actionCount() const { return actionNumRpt & 0x0f; }
    uint8_t actionRepeat() const { return actionNumRpt >> 4; }
};

struct tagWAYLINE_MISSION {
    uint8_t length = 0;
    float velocityRange = 0.0f;
    float idleVelocity = 0.0f;
    uint8_t actionOnFinish = 0;
    uint8_t missionExecTimes = 0;
    uint8_t yawMode = 0;
    uint8_t traceMode = 0;
    uint8_t actionOnRCLost = 0;
    uint8_t gimbalPitchMode = 0;
    double hpLatitude = 0.0;
    double hpLongitude = 0.0;
    float hpAltitude = 0.0f;
    uint8_t gotoFirst = 0;
    QVector<tagWAYLINE_WAYPOINT> waypoints;
};

#endif // WAYLINEMISSION_H
