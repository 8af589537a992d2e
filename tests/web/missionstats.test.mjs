import {test} from 'node:test';
import assert from 'node:assert/strict';
import {missionStats, missionProgress} from '../../web/js/model/missionstats.js';
import {createMission, createWaypoint} from '../../web/js/model/mission.js';
import {offset} from '../../web/js/geo/earth.js';
import {checkMission} from '../../web/js/model/checks.js';

const home = {lat: 47.3977, lng: 8.5456};

// From home (on the ground) to two waypoints 400 m and 800 m east at 30 m;
// the second one's speed of 5 m/s holds on the leg that leads to it.
function mission(settings) {
    const [a, b] = [400, 800].map((m) => offset(home, 90, m));
    const wps = [createWaypoint(a.lat, a.lng), createWaypoint(b.lat, b.lng)];
    Object.assign(wps[1], {speed: 5});
    return Object.assign(createMission(), {idleSpeed: 10, waypoints: wps}, settings);
}

test('distance, time and battery take in the way to the first waypoint and the way back', () => {
    // Transit: climb 30 m (6 s), 400 m at 10 m/s (40 s). Mission: 400 m at 5 m/s (80 s).
    for (const [settings, battery, seconds, length, enough] of [
        [{finishAction: 0}, null, 126, 830, null],
        // Home at 30 m: 800 m at 10 m/s, then 30 m down at 1.5 m/s.
        [{finishAction: 1}, 20, 226, 1660, false],
        [{finishAction: 1}, 50, 226, 1660, true],
        [{finishAction: 2}, null, 146, 860, null],
        [{finishAction: 3}, null, 166, 1230, null],
        // Straight to the first waypoint: 401 m, the climb within the 40 s.
        [{finishAction: 0, gotoFirst: 1}, null, 120, 801, null],
        // Two runs, flying back to the first waypoint in between.
        [{finishAction: 0, execCount: 2}, null, 246, 1630, null],
    ]) {
        const s = missionStats(mission(settings), {
            start: {...home, alt: 0},
            home,
            battery: battery && {percent: battery},
        });
        const got = [Math.round(s.total.seconds), Math.round(s.total.length), s.battery.enough];
        assert.deepEqual(got, [seconds, length, enough], JSON.stringify(settings));
        assert.ok(Math.abs(s.battery.needed - (seconds / 1680) * 100) < 0.1);
    }
    const {profile} = missionStats(mission({finishAction: 1}), {start: {...home, alt: 0}, home});
    const along = profile.points.map((p) => [Math.round(p.along), p.alt]);
    assert.deepEqual(along, [
        [0, 0],
        [0, 30],
        [400, 30],
        [800, 30],
        [800, 30],
        [1600, 30],
        [1600, 0],
    ]);
    assert.deepEqual([Math.round(profile.from), Math.round(profile.to)], [400, 800]);
    assert.equal(missionStats(createMission()), null);
    const low = (percent) =>
        checkMission(mission({finishAction: 1}), {zones: [], home, start: {...home, alt: 0}, battery: {percent}});
    assert.deepEqual(
        [low(20), low(50)].map((found) => found.map((f) => f.code)),
        [['battery'], []],
    );
});

test('progress counts down what is left of the mission and the way home from where the aircraft is', () => {
    const m = mission({finishAction: 1});
    const midway = {...offset(home, 90, 600), alt: 30};
    const p = missionProgress(m, midway, 1, home);
    // 200 m at 5 m/s, then 800 m home and 30 m down; 1030 of 1230 m left.
    assert.deepEqual([Math.round(p.seconds), Math.round(p.length), Math.round(p.percent)], [140, 1030, 16]);
    for (const index of [-1, 2, null]) assert.equal(missionProgress(m, midway, index, home), null);
});
