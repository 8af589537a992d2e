import {test} from 'node:test';
import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import {missionToPlan, planToMission, missionToGeoJSON, PLAN_LIMITS} from '../../web/js/model/planfile.js';
import {createMission, createWaypoint} from '../../web/js/model/mission.js';
import {checkMission} from '../../web/js/model/checks.js';

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

const read = (name) => readFileSync(new URL(`./fixtures/plans/${name}`, import.meta.url), 'utf8');
const shots = (m) => m.waypoints.flatMap((w) => w.actions).filter((a) => a.type === 'WP_ACTION_SIMPLE_SHOT').length;
const stays = (m) =>
    m.waypoints.flatMap((w) => w.actions).reduce((t, a) => t + (a.type === 'WP_ACTION_STAY' ? a.param : 0), 0);

// Real files of other planners (SOURCES.md): heights above home, the landing
// point (or the finish action), cruise speed and speed range, photos, stay
// seconds, and what the notes must say.
const FILES = [
    [
        'qgc-arducopter-sitl.plan',
        [60, 150, 100, 70, 15, 15],
        [-35.3605661, 149.16523],
        5,
        10,
        0,
        30,
        [
            /take-off at item 1: the aircraft takes off by itself/,
            /sea level at item 4: .* 584 m/,
            /region of interest at item 5\./,
            /height above terrain at items 6 and 8/,
            /spline waypoint at item 9/,
        ],
    ],
    [
        'px4-vtol-mission.plan',
        [20, 30, 30, 30, 30, 30, 20, 20],
        [47.397748880653054, 8.545753080416318],
        15,
        15,
        0,
        0,
        [/take-off at item 1/],
    ],
    [
        'px4-gripper-delivery.plan',
        [5, 5, 10],
        0,
        5,
        10,
        0,
        0,
        [/gripper action at item 3\./, /landing before the end at item 2/],
    ],
    [
        'mavsdk-survey.plan',
        Array(8).fill(50),
        0,
        5,
        10,
        8,
        0,
        [/camera mode change at item 1/, /every 25 m in the survey at item 2/],
    ],
    [
        'mavsdk-structure-scan.plan',
        [],
        0,
        5,
        10,
        0,
        0,
        [/structure scan at item 2: the file does not list its waypoints/],
    ],
    ['qgc-section-test.plan', [20, 20, 20], 0, 5, 10, 0, 0, [/take-off at item 1/]],
    [
        'qgc-old-format.mission',
        [10, 20, 5, 5, 5],
        [47.66015362, -122.29410456],
        5,
        10,
        0,
        0,
        [/loiter of 1 turn at item 2/, /loiter of 3 turns at item 3/],
    ],
    ['px4-geofence-avoid.plan', [20, 20, 20], 1, 5, 10, 0, 0, [/3 fences are shown on the map/]],
];

test('real plans of other planners come in flyable: landings, heights, speeds, scans, loiters, older forms', () => {
    for (const [file, heights, landing, idle, range, photos, stay, said] of FILES) {
        const {mission, notes, fences, rally} = planToMission(read(file));
        const last = mission.waypoints[mission.waypoints.length - 1];
        const end = Array.isArray(landing) ? [2, ...landing] : [landing];
        const got = [mission.finishAction, ...(Array.isArray(landing) ? [last.lat, last.lng] : [])];
        assert.deepEqual([mission.waypoints.map((w) => w.alt), ...got], [heights, ...end], file);
        assert.deepEqual(
            [mission.idleSpeed, mission.maxSpeed, shots(mission), stays(mission)],
            [idle, range, photos, stay],
            file,
        );
        const text = notes.join('\n');
        for (const pattern of said) assert.match(text, pattern, file);
        assert.doesNotMatch(text, /with command|an item with/, file);
        // Nothing left for the user to fix before an upload.
        if (heights.length > 1) assert.deepEqual(checkMission(mission, {zones: [], fences, rally}), [], file);
    }
});

test("a plan's fences and rally points hold the path; what is no plan, or far too large, is refused", () => {
    const plan = JSON.parse(read('px4-geofence-avoid.plan'));
    plan.mission.items.splice(4, 0, {...plan.mission.items[3], params: [0, 0, 0, null, 47.3953, 8.5429, 20]});
    plan.rallyPoints.points = [
        [47.3953, 8.5428, 30],
        [47.3975, 8.545, 30],
    ];
    const {mission, fences, rally} = planToMission(plan);
    const text = checkMission(mission, {zones: [], fences, rally})
        .map((f) => f.text)
        .join('\n');
    assert.match(text, /Fence 3 of the file \(keep-out circle of 111 m\): waypoint 4 inside/);
    assert.match(text, /Rally point 1 of the file/);
    const many = {fileType: 'Plan', mission: {items: Array(PLAN_LIMITS.items + 1).fill({})}};
    for (const [input, reason] of [
        ['{"fileType": "Plan",', /not valid JSON/],
        ['{"type": "FeatureCollection"}', /not a QGroundControl plan/],
        ['[]', /not a QGroundControl plan/],
        [' '.repeat(PLAN_LIMITS.fileBytes + 1), /larger than 4 MB/],
        [many, /more than 5000 items/],
    ])
        assert.throws(() => planToMission(input), reason);
    const odd = [
        null,
        {command: 'x'.repeat(1e5)},
        {type: 'ComplexItem', complexItemType: 'constructor'},
        {command: 300},
    ];
    assert.match(
        planToMission({fileType: 'Plan', mission: {items: odd}}).notes.join(' '),
        /without a command at item 2.*"constructor" item at item 3.*MAVLink command 300\)/s,
    );
});

test('GeoJSON export has the path as a line and every waypoint as a point, longitude first', () => {
    const [path, ...points] = missionToGeoJSON(sample(), 'survey north').features;
    assert.deepEqual([path.properties.name, points.length], ['survey north', 3]);
    assert.deepEqual(path.geometry.coordinates[0], [8.5461, 47.3981, 35]);
    assert.deepEqual([points[1].geometry.coordinates, points[1].properties.speed], [[8.547, 47.399, 35], 9]);
});
