import {test} from 'node:test';
import assert from 'node:assert/strict';
import {missionToPlan, planToMission, missionToGeoJSON} from '../../web/js/planfile.js';
import {createMission, createWaypoint, missionToWire} from '../../web/js/mission.js';

function sample() {
    const m = createMission();
    m.idleSpeed = 6;
    m.finishAction = 1;
    m.yawMode = 3;
    const a = createWaypoint(47.3981, 8.5461);
    a.alt = 35;
    a.yaw = -90;
    a.actions = [{type: 'WP_ACTION_STAY', param: 3}, {type: 'WP_ACTION_SIMPLE_SHOT', param: 0},
                 {type: 'WP_ACTION_STAY', param: 2}, {type: 'WP_ACTION_CRAFT_YAW', param: -120},
                 {type: 'WP_ACTION_GIMBAL_PITCH', param: -60}, {type: 'WP_ACTION_VIDEO_START', param: 0}];
    const b = createWaypoint(47.3990, 8.5470, a);
    b.speed = 9;
    b.yaw = 45;
    b.actions = [{type: 'WP_ACTION_VIDEO_STOP', param: 0}];
    const c = createWaypoint(47.3995, 8.5450, b);
    c.speed = null;
    m.waypoints.push(a, b, c);
    return m;
}

const strip = (m) => m.waypoints.map(({id, ...rest}) => rest);

test('a plan written and read back keeps the waypoints, speeds, actions and finish', () => {
    const m = sample();
    const text = JSON.stringify(missionToPlan(m, {lat: 47.3977, lng: 8.5456, alt: 400}));
    const {mission, notes, home} = planToMission(text);
    assert.deepEqual(notes, []);
    assert.deepEqual(home, {lat: 47.3977, lng: 8.5456, alt: 400});
    assert.equal(mission.idleSpeed, 6);
    assert.equal(mission.finishAction, 1);
    assert.deepEqual(strip(mission), strip(m));
});

test('waypoints are plain waypoint items in degrees, relative to home', () => {
    const plan = missionToPlan(sample());
    assert.equal(plan.fileType, 'Plan');
    const wps = plan.mission.items.filter((i) => i.command === 16);
    assert.equal(wps.length, 3);
    assert.equal(wps[0].frame, 3);
    assert.deepEqual(wps[0].params.slice(4), [47.3981, 8.5461, 35]);
    assert.equal(wps[0].params[0], 3);
    assert.deepEqual(plan.mission.plannedHomePosition, [47.3981, 8.5461, 0]);
});

const foreignPlan = {
    fileType: 'Plan',
    version: 1,
    mission: {
        cruiseSpeed: 12,
        plannedHomePosition: [-35.36, 149.16, 584],
        items: [
            {type: 'SimpleItem', command: 22, frame: 3, params: [15, 0, 0, null, -35.36, 149.16, 30]},
            {type: 'SimpleItem', command: 16, frame: 3, params: [0, 0, 0, null, -35.361, 149.161, 50]},
            {type: 'SimpleItem', command: 178, frame: 2, params: [1, 4, -1, 0, 0, 0, 0]},
            {type: 'SimpleItem', command: 16, frame: 0, params: [2.5, 0, 0, 270, -35.362, 149.162, 640]},
            {type: 'ComplexItem', complexItemType: 'survey'},
            {type: 'SimpleItem', command: 2000, frame: 2, params: [0, 0, 1, 0, 0, 0, 0]},
            {type: 'SimpleItem', command: 300, frame: 2, params: [0, 0, 0, 0, 0, 0, 0]},
            {type: 'SimpleItem', command: 21, frame: 3, params: [0, 0, 0, null, -35.362, 149.162, 0]},
        ],
    },
};

test('a plan from another planner keeps what this aircraft can fly and says what it left out', () => {
    const {mission, notes} = planToMission(foreignPlan);
    assert.equal(mission.idleSpeed, 12);
    assert.equal(mission.finishAction, 2);
    assert.equal(mission.waypoints.length, 2);
    const [a, b] = mission.waypoints;
    assert.equal(a.speed, null);
    assert.equal(b.speed, 4);
    assert.equal(b.yaw, -90);
    assert.equal(mission.yawMode, 3);
    // Hold times are whole seconds on the aircraft.
    assert.deepEqual(b.actions, [{type: 'WP_ACTION_STAY', param: 3}, {type: 'WP_ACTION_SIMPLE_SHOT', param: 0}]);
    const said = notes.join('\n');
    assert.match(said, /not relative to home/);
    assert.match(said, /take-off/);
    assert.match(said, /survey/);
    assert.match(said, /command 300/);
});

test('an imported plan goes on the wire in radians', () => {
    const {mission} = planToMission(foreignPlan);
    const wire = missionToWire(mission);
    assert.equal(wire.WAY_POINTS[0].LATI, (-35.361 * Math.PI) / 180);
    assert.equal(wire.WAY_POINTS[1].LONTI, (149.162 * Math.PI) / 180);
});

const refusals = [
    ['text that is not JSON', '{"fileType": "Plan",', /not valid JSON/],
    ['JSON of another kind', '{"type": "FeatureCollection"}', /not a QGroundControl plan/],
    ['a JSON array', '[]', /not a QGroundControl plan/],
];

for (const [name, text, message] of refusals) {
    test(`importing ${name} is refused with a readable reason`, () => {
        assert.throws(() => planToMission(text), message);
    });
}

test('GeoJSON export has the path as a line and every waypoint as a point, longitude first', () => {
    const geo = missionToGeoJSON(sample(), 'survey north');
    assert.equal(geo.type, 'FeatureCollection');
    assert.equal(geo.features.length, 4);
    assert.deepEqual(geo.features[0].geometry.coordinates[0], [8.5461, 47.3981, 35]);
    assert.equal(geo.features[0].properties.name, 'survey north');
    assert.equal(geo.features[2].properties.index, 2);
    assert.equal(geo.features[2].properties.speed, 9);
    assert.equal(geo.features[1].properties.actions.length, 6);
});
