// The mission codec on a 50-waypoint mission, the size a survey flight
// uploads, in both directions.

#include <waylinecodec.h>
#include <waylinemission.h>

#include <QJsonArray>
#include <QJsonObject>

#include <benchmark/benchmark.h>

namespace {

QJsonObject missionOf(int count) {
    QJsonArray points;
    for (int i = 0; i < count; ++i) {
        const QJsonArray commands{
            QJsonObject{{"ACTION_TYPE", "WP_ACTION_STAY"}, {"PARAM_VALUE", "2"}},
            QJsonObject{{"ACTION_TYPE", "WP_ACTION_SIMPLE_SHOT"}, {"PARAM_VALUE", "0"}},
            QJsonObject{{"ACTION_TYPE", "WP_ACTION_GIMBAL_PITCH"}, {"PARAM_VALUE", "-45"}}};
        points.append(QJsonObject{
            {"INDEX", i},
            {"LATI", 0.8272 + i * 1e-5},
            {"LONTI", 0.1491 + i * 1e-5},
            {"ALTI", 60.0},
            {"DAMPING_DIS", 2.0},
            {"TGT_YAW", 90.5},
            {"TGT_GIMBAL_PITCH", -30},
            {"TURN_MODE", 0},
            {"HAS_SPEED", 1},
            {"SPEED", 8.5},
            {"HAS_ACTION", 1},
            {"ACTION_TIME_LIMIT", 100},
            {"ACTION",
             QJsonObject{{"ACTION_NUM", 3}, {"ACTION_RPT", 1}, {"COMMAND_LIST", commands}}}});
    }
    return QJsonObject{{"LENGTH", count},       {"VEL_CMD_RANGE", 15},    {"IDLE_VEL", 8},
                       {"ACTION_ON_FINISH", 1}, {"MISSION_EXEC_NUM", 1},  {"YAW_MODE", 0},
                       {"TRACE_MODE", 0},       {"ACTION_ON_RC_LOST", 1}, {"GIMBAL_PITCH_MODE", 1},
                       {"HP_LATI", 0.8272},     {"HP_LONTI", 0.1491},     {"HP_ALTI", 0.0},
                       {"GOTO_FIRST", 1},       {"WAY_POINTS", points}};
}

void codecRoundTrip(benchmark::State &state) {
    const QJsonObject json = missionOf(int(state.range(0)));
    for (auto _ : state) {
        tagWAYLINE_MISSION mission;
        WaylineCodec::readMission(json, mission);
        QJsonObject written;
        WaylineCodec::writeMission(mission, written);
        benchmark::DoNotOptimize(written);
    }
}

void missionToStruct(benchmark::State &state) {
    const QJsonObject json = missionOf(int(state.range(0)));
    for (auto _ : state) {
        tagWAYLINE_MISSION mission;
        WaylineCodec::readMission(json, mission);
        benchmark::DoNotOptimize(mission);
    }
}

void missionToJson(benchmark::State &state) {
    tagWAYLINE_MISSION mission;
    WaylineCodec::readMission(missionOf(int(state.range(0))), mission);
    for (auto _ : state) {
        QJsonObject written;
        WaylineCodec::writeMission(mission, written);
        benchmark::DoNotOptimize(written);
    }
}

} // namespace

BENCHMARK(codecRoundTrip)->Arg(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(missionToStruct)->Arg(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(missionToJson)->Arg(50)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
