import {test} from 'node:test';
import assert from 'node:assert/strict';
import {createMission, createWaypoint, missionToWire, missionFromWire, estimate} from '../../web/js/model/mission.js';
import {checkMission} from '../../web/js/model/checks.js';
import {distance, offset, wrapDegrees} from '../../web/js/geo/earth.js';
import {legEntersCircle, samplePath} from '../../web/js/geo/path.js';

const home = {lat: 47.3977, lng: 8.5456};
const rad = (deg) => (deg * Math.PI) / 180;
const changed = (m, change) => (change(m), m);

const acts = (w) => w.actions.map((a) => `${a.type.slice(10)} ${a.param}`);

function sample() {
    const a = Object.assign(createWaypoint(47.4, 8.55), {alt: 40, actionRepeat: 2, gimbalPitch: -30.6, yaw: 12.7});
    a.actions = [
        ['STAY', 2],
        ['GIMBAL_PITCH', -45.4],
    ].map(([t, param]) => ({type: `WP_ACTION_${t}`, param}));
    const b = Object.assign(createWaypoint(47.401, 8.551, a), {speed: 7.255});
    return Object.assign(createMission(), {waypoints: [a, b]});
}

test('the wire form carries radians, whole numbers where the aircraft reads whole numbers, and text parameters', () => {
    const wire = missionToWire(sample(), {...home, alt: 410});
    const [a, b] = wire.WAY_POINTS;
    assert.deepEqual([wire.LENGTH, wire.HP_LATI, wire.HP_ALTI], [2, rad(home.lat), 410]);
    // A fractional pitch would be read as 0 by the aircraft.
    assert.deepEqual(
        [a.INDEX, a.LATI, a.LONTI, a.TGT_GIMBAL_PITCH, a.TGT_YAW, a.HAS_SPEED, 'SPEED' in a],
        [0, rad(47.4), rad(8.55), -31, 13, 0, false],
    );
    assert.deepEqual([b.INDEX, b.HAS_SPEED, b.SPEED, b.HAS_ACTION, 'ACTION' in b], [1, 1, 7.26, 0, false]);
    const sent = a.ACTION.COMMAND_LIST.map((c) => `${c.ACTION_TYPE.slice(10)} ${c.PARAM_VALUE}`);
    assert.deepEqual([a.ACTION.ACTION_NUM, a.ACTION.ACTION_RPT, sent], [2, 2, ['STAY 2', 'GIMBAL_PITCH -45']]);
    // A saved wayline reads back as it was sent.
    const back = missionFromWire(JSON.parse(JSON.stringify(wire))).mission.waypoints;
    assert.deepEqual(
        back.map((w) => [w.speed, ...acts(w)].join()),
        [',STAY 2,GIMBAL_PITCH -45', '7.26'],
    );
});

test("an aircraft's own mission report without command lists says what is missing", () => {
    const wp = (LATI, list) => ({LATI, LONTI: 0.15, ALTI: 20, HAS_ACTION: 1, ACTION: {ACTION_NUM: 2, ...list}});
    const points = [wp(0.8), wp(0.8001, {COMMAND_LIST: {WP_ACTION_STAY: 5, WP_ACTION_CRAFT_YAW: 90}}), 'no waypoint'];
    const {mission, notes} = missionFromWire({LENGTH: 3, IDLE_VEL: 6, WAY_POINTS: points});
    assert.deepEqual([mission.idleSpeed, ...mission.waypoints.map(acts)], [6, [], ['CRAFT_YAW 90', 'STAY 5'], []]);
    assert.match(notes.join(' '), /2 waypoint action\(s\) were not reported/);
});

test('length and time cover climbs, the speed of the waypoint a leg leads to, hovers and repetitions', () => {
    const [a, bp] = [createWaypoint(home.lat, home.lng), offset(home, 90, 400)];
    const b = Object.assign(createWaypoint(bp.lat, bp.lng), {alt: 330, actions: [{type: 'WP_ACTION_STAY', param: 5}]});
    const m = Object.assign(createMission(), {idleSpeed: 10, waypoints: [a, b]});
    const rounded = () => [estimate(m).length, estimate(m).seconds].map(Math.round);
    // The 300 m climb at 5 m/s outlasts 400 m at 10 m/s.
    assert.deepEqual(rounded(), [500, 65]);
    Object.assign(a, {speed: 2});
    Object.assign(b, {speed: 5});
    m.execCount = 2;
    assert.deepEqual(rounded(), [1000, 170]);
});

function line(count, spacing = 50) {
    const m = createMission();
    for (const p of Array.from({length: count}, (_, i) => offset(home, 90, i * spacing)))
        m.waypoints.push(createWaypoint(p.lat, p.lng));
    return m;
}

const codes = (findings) => findings.map((f) => f.code).sort();

test('missions beyond what the aircraft accepts are found', () => {
    const limited = {zones: [], flyLimit: {maxHeight: 120, maxDistance: 1000}, home};
    for (const [what, mission, expected, context = {zones: []}] of [
        ['a short mission', line(3), []],
        ['51 waypoints', line(51, 5), ['too-many']],
        ['a single waypoint', line(1), ['too-few']],
        ['a waypoint at 21 m/s', changed(line(3), (m) => (m.waypoints[1].speed = 21)), ['speed']],
        ['a cruise speed of 25 m/s', changed(line(3), (m) => (m.idleSpeed = 25)), ['speed', 'speed-range']],
        [
            'beyond the speed range',
            changed(line(3), (m) => ((m.maxSpeed = 8), (m.waypoints[2].speed = 9))),
            ['speed-range'],
        ],
        ['a waypoint 1 m above home', changed(line(3), (m) => (m.waypoints[0].alt = 1)), ['height']],
        ['30 minutes of flight', changed(line(3, 9000), (m) => (m.idleSpeed = 10)), ['flight-time']],
        [
            '150 m high, 1200 m out',
            changed(line(3, 600), (m) => (m.waypoints[2].alt = 150)),
            ['max-distance', 'max-height'],
            limited,
        ],
    ])
        assert.deepEqual(codes(checkMission(mission, context)), expected, what);
});

test('every zone entered is named with the waypoints inside and the legs crossing; unknown zones are reported', () => {
    const zones = [
        {...offset(home, 90, 750), radius: 100, name: 'Hospital'},
        {...offset(home, 90, 1500), radius: 50, name: 'Stadium'},
        {...offset(home, 0, 5000), radius: 500, name: 'Airfield'},
    ];
    const found = checkMission(line(4, 500), {zones}).flatMap((f) => (f.code === 'zone' ? [f.text] : []));
    assert.equal(found.length, 2);
    [/"Hospital".*leg 2→3 crossing/, /"Stadium".*waypoint 4 inside/].forEach((said, i) => assert.match(found[i], said));
    const unknown = checkMission(line(3), {zones: null, zoneError: 'no answer'});
    assert.deepEqual([codes(unknown), /no answer/.test(unknown[0].text)], [['zones-unknown'], true]);
});

test('angles wrap, legs enter a zone only where they pass through it, and path samples near every part of a path', () => {
    assert.equal(Math.round(distance({lat: 0, lng: 0}, {lat: 1, lng: 0})), 111195, 'one degree of latitude');
    assert.deepEqual([190, -190, 180, -600].map(wrapDegrees), [-170, 170, -180, 120]);
    const at = (east, north) => offset(offset(home, 90, east), 0, north);
    for (const [what, a, b, expected] of [
        ['through the middle', at(-1000, 0), at(1000, 0), true],
        ['400 m north', at(-1000, 400), at(1000, 400), false],
        ['250 m north', at(-1000, 250), at(1000, 250), true],
        ['ending before the circle on a crossing line', at(-1000, 0), at(-500, 0), false],
        ['ending inside', at(-1000, 0), at(-100, 0), true],
        ['of zero length inside', at(0, 10), at(0, 10), true],
    ])
        assert.equal(legEntersCircle(a, b, home, 300), expected, what);
    // Path samples leave no gap longer than the spacing and keep both ends.
    const corner = offset(home, 90, 25000);
    const path = [home, corner, offset(corner, 0, 3000), offset(corner, 0, 3100)];
    const samples = samplePath(path, 10000);
    assert.deepEqual(samples[0], home);
    for (let i = 0; i + 1 < samples.length; ++i)
        assert.ok(distance(samples[i], samples[i + 1]) <= 10000, `gap after sample ${i}`);
    assert.ok(distance(samples.at(-1), path.at(-1)) < 5000 && samples.length <= 8, `${samples.length} samples, 28 km`);
});
