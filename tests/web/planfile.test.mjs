import {test} from 'node:test';
import assert from 'node:assert/strict';
import {missionToPlan, planToMission, missionToGeoJSON} from '../../web/js/model/planfile.js';
import {createMission, createWaypoint} from '../../web/js/model/mission.js';

// actions('STAY 3', 'SIMPLE_SHOT 0'): the editor's actions, written short.
const actions = (...list) =>
    list.map((a) => a.split(' ')).map(([t, p]) => ({type: `WP_ACTION_${t}`, param: Number(p)}));

function sample() {
    const list = actions('STAY 3', 'SIMPLE_SHOT 0', 'STAY 2', 'CRAFT_YAW -120', 'GIMBAL_PITCH -60', 'VIDEO_START 0');
    const a = Object.assign(createWaypoint(47.3981, 8.5461), {alt: 35, yaw: -90, actions: list});
    const b = Object.assign(createWaypoint(47.399, 8.547, a), {speed: 9, yaw: 45, actions: actions('VIDEO_STOP 0')});
    const c = Object.assign(createWaypoint(47.3995, 8.545, b), {speed: null});
    return Object.assign(createMission(), {idleSpeed: 6, finishAction: 1, yawMode: 3, waypoints: [a, b, c]});
}

test('a plan has plain waypoint items in degrees relative to home, and reads back with speeds, actions and finish', () => {
    const m = sample();
    const plan = missionToPlan(m);
    const wps = plan.mission.items.filter((i) => i.command === 16);
    const first = [wps.length, wps[0].frame, wps[0].params[0], ...wps[0].params.slice(4)];
    assert.deepEqual(first, [3, 3, 3, 47.3981, 8.5461, 35]);
    assert.deepEqual(plan.mission.plannedHomePosition, [47.3981, 8.5461, 0]);
    const home = {lat: 47.3977, lng: 8.5456, alt: 400};
    const back = planToMission(JSON.stringify(missionToPlan(m, home)));
    const {mission} = back;
    assert.deepEqual([back.notes, back.home, mission.idleSpeed, mission.finishAction], [[], home, 6, 1]);
    const strip = (n) => n.waypoints.map(({id, ...rest}) => rest);
    assert.deepEqual(strip(mission), strip(m));
});

test('a plan from another planner keeps what this aircraft can fly and says what it left out; what is no plan is refused', () => {
    const item = (command, frame, params) => ({type: 'SimpleItem', command, frame, params});
    const items = [
        item(22, 3, [15, 0, 0, null, -35.36, 149.16, 30]),
        item(16, 3, [0, 0, 0, null, -35.361, 149.161, 50]),
        item(178, 2, [1, 4, -1, 0, 0, 0, 0]),
        item(16, 0, [2.5, 0, 0, 270, -35.362, 149.162, 640]),
        {type: 'ComplexItem', complexItemType: 'survey'},
        item(2000, 2, [0, 0, 1, 0, 0, 0, 0]),
        item(300, 2, [0, 0, 0, 0, 0, 0, 0]),
        item(21, 3, [0, 0, 0, null, -35.362, 149.162, 0]),
    ];
    const {mission, notes} = planToMission({fileType: 'Plan', mission: {cruiseSpeed: 12, items}});
    assert.deepEqual([mission.idleSpeed, mission.finishAction, mission.yawMode], [12, 2, 3]);
    const speedsAndYaws = mission.waypoints.map((w) => `${w.speed} ${w.yaw}`);
    assert.deepEqual(speedsAndYaws, ['null 0', '4 -90']);
    // Hold times are whole seconds on the aircraft.
    assert.deepEqual(mission.waypoints[1].actions, actions('STAY 3', 'SIMPLE_SHOT 0'));
    for (const said of [/not relative to home/, /take-off/, /survey/, /command 300/])
        assert.match(notes.join('\n'), said);
    for (const [text, reason] of [
        ['{"fileType": "Plan",', /not valid JSON/],
        ['{"type": "FeatureCollection"}', /not a QGroundControl plan/],
        ['[]', /not a QGroundControl plan/],
    ])
        assert.throws(() => planToMission(text), reason);
});

test('GeoJSON export has the path as a line and every waypoint as a point, longitude first', () => {
    const [path, ...points] = missionToGeoJSON(sample(), 'survey north').features;
    assert.deepEqual([path.properties.name, points.length], ['survey north', 3]);
    assert.deepEqual(path.geometry.coordinates[0], [8.5461, 47.3981, 35]);
    assert.deepEqual([points[1].geometry.coordinates, points[1].properties.speed], [[8.547, 47.399, 35], 9]);
});
