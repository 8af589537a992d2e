import {test} from 'node:test';
import assert from 'node:assert/strict';
import {createMission, createWaypoint, missionToWire, missionFromWire, moveWaypoint, estimate, LIMITS}
    from '../../web/js/mission.js';
import {checkMission} from '../../web/js/checks.js';
import {offset} from '../../web/js/units.js';

const home = {lat: 47.3977, lng: 8.5456};

function sample() {
    const m = createMission();
    const a = createWaypoint(47.4, 8.55);
    a.alt = 40;
    a.actions = [{type: 'WP_ACTION_STAY', param: 2}, {type: 'WP_ACTION_GIMBAL_PITCH', param: -45.4}];
    a.actionRepeat = 2;
    a.gimbalPitch = -30.6;
    a.yaw = 12.7;
    const b = createWaypoint(47.401, 8.551, a);
    b.speed = 7.255;
    m.waypoints.push(a, b);
    return m;
}

test('the wire form carries radians, whole numbers where the aircraft reads whole numbers, and text parameters', () => {
    const wire = missionToWire(sample(), {...home, alt: 410});
    assert.equal(wire.LENGTH, 2);
    assert.equal(wire.HP_LATI, (home.lat * Math.PI) / 180);
    assert.equal(wire.HP_ALTI, 410);
    const [a, b] = wire.WAY_POINTS;
    assert.equal(a.INDEX, 0);
    assert.equal(b.INDEX, 1);
    assert.equal(a.LATI, (47.4 * Math.PI) / 180);
    assert.equal(a.LONTI, (8.55 * Math.PI) / 180);
    // A fractional pitch would be read as 0 by the aircraft.
    assert.equal(a.TGT_GIMBAL_PITCH, -31);
    assert.equal(a.TGT_YAW, 13);
    assert.equal(a.HAS_SPEED, 0);
    assert.ok(!('SPEED' in a));
    assert.equal(b.HAS_SPEED, 1);
    assert.equal(b.SPEED, 7.26);
    assert.deepEqual(a.ACTION, {
        ACTION_NUM: 2,
        ACTION_RPT: 2,
        COMMAND_LIST: [{ACTION_TYPE: 'WP_ACTION_STAY', PARAM_VALUE: '2'},
                       {ACTION_TYPE: 'WP_ACTION_GIMBAL_PITCH', PARAM_VALUE: '-45'}],
    });
    assert.equal(b.HAS_ACTION, 0);
    assert.ok(!('ACTION' in b));
});

test('without a known home the home point is zero', () => {
    const wire = missionToWire(sample());
    assert.equal(wire.HP_LATI, 0);
    assert.equal(wire.HP_LONTI, 0);
});

test('indices follow the order after reordering', () => {
    const m = sample();
    const first = m.waypoints[0];
    assert.ok(moveWaypoint(m, 0, 1));
    assert.equal(m.waypoints[1], first);
    assert.equal(missionToWire(m).WAY_POINTS[1].LATI, (47.4 * Math.PI) / 180);
    assert.equal(moveWaypoint(m, 0, 5), false);
});

test('a saved mission reads back as it was written', () => {
    const m = sample();
    const back = missionFromWire(JSON.parse(JSON.stringify(missionToWire(m)))).mission;
    assert.equal(back.waypoints.length, 2);
    assert.ok(Math.abs(back.waypoints[0].lat - 47.4) < 1e-12);
    assert.equal(back.waypoints[0].actions.length, 2);
    assert.deepEqual(back.waypoints[0].actions[1], {type: 'WP_ACTION_GIMBAL_PITCH', param: -45});
    assert.equal(back.waypoints[0].speed, null);
    assert.equal(back.waypoints[1].speed, 7.26);
    assert.equal(back.idleSpeed, m.idleSpeed);
});

test('an aircraft\'s own mission report without command lists says what is missing', () => {
    const reported = {
        LENGTH: 3,
        IDLE_VEL: 6,
        WAY_POINTS: [
            {INDEX: 0, LATI: 0.8, LONTI: 0.15, ALTI: 20, HAS_ACTION: 1, ACTION: {ACTION_NUM: 2, ACTION_RPT: 1}},
            {INDEX: 1, LATI: 0.8001, LONTI: 0.15, ALTI: 20, HAS_ACTION: 1,
             ACTION: {ACTION_NUM: 2, ACTION_RPT: 1, COMMAND_LIST: {WP_ACTION_STAY: 5, WP_ACTION_CRAFT_YAW: 90}}},
            'not a waypoint',
        ],
    };
    const {mission, notes} = missionFromWire(reported);
    assert.equal(mission.idleSpeed, 6);
    assert.equal(mission.waypoints.length, 3);
    assert.deepEqual(mission.waypoints[0].actions, []);
    assert.deepEqual(mission.waypoints[1].actions.map((a) => a.type), ['WP_ACTION_CRAFT_YAW', 'WP_ACTION_STAY']);
    assert.match(notes.join(' '), /2 waypoint action\(s\) were not reported/);
});

test('length and time cover climbs, per-waypoint speeds, hovers and repetitions', () => {
    const m = createMission();
    m.idleSpeed = 10;
    const a = createWaypoint(home.lat, home.lng);
    a.alt = 30;
    const bp = offset(home, 90, 400);
    const b = createWaypoint(bp.lat, bp.lng, a);
    b.alt = 330;
    b.actions = [{type: 'WP_ACTION_STAY', param: 5}];
    m.waypoints.push(a, b);
    const once = estimate(m);
    assert.ok(Math.abs(once.length - 500) < 0.5, `length ${once.length}`);
    assert.ok(Math.abs(once.seconds - 55) < 0.1, `seconds ${once.seconds}`);
    a.speed = 5;
    m.execCount = 2;
    const twice = estimate(m);
    assert.ok(Math.abs(twice.seconds - 210) < 0.2, `seconds ${twice.seconds}`);
});

function line(count, spacing = 50) {
    const m = createMission();
    for (let i = 0; i < count; ++i) {
        const p = offset(home, 90, i * spacing);
        m.waypoints.push(createWaypoint(p.lat, p.lng));
    }
    return m;
}

const codes = (findings) => findings.map((f) => f.code).sort();

const limitCases = [
    ['a short mission within every limit passes', () => line(3), []],
    ['51 waypoints exceed the point limit', () => line(51, 5), ['too-many']],
    ['a single waypoint is not a mission', () => line(1), ['too-few']],
    ['a waypoint speed of 21 m/s exceeds the speed limit', () => {
        const m = line(3);
        m.waypoints[1].speed = 21;
        return m;
    }, ['speed']],
    ['a cruise speed of 25 m/s exceeds the limit and the speed range', () => {
        const m = line(3);
        m.idleSpeed = 25;
        return m;
    }, ['speed', 'speed-range']],
    ['a waypoint faster than the mission\'s speed range is refused like the aircraft would', () => {
        const m = line(3);
        m.maxSpeed = 8;
        m.waypoints[2].speed = 9;
        return m;
    }, ['speed-range']],
    ['a waypoint 1 m above home is too low', () => {
        const m = line(3);
        m.waypoints[0].alt = 1;
        return m;
    }, ['height']],
    ['30 minutes of flight exceed the time limit', () => {
        const m = line(3, 9000);
        m.idleSpeed = 10;
        return m;
    }, ['flight-time']],
];

for (const [name, build, expected] of limitCases) {
    test(name, () => assert.deepEqual(codes(checkMission(build(), {zones: []})), expected));
}

test('the aircraft\'s own height and distance limits are checked when known', () => {
    const m = line(3, 600);
    m.waypoints[2].alt = 150;
    const found = checkMission(m, {zones: [], flyLimit: {maxHeight: 120, maxDistance: 1000}, home});
    assert.deepEqual(codes(found), ['max-distance', 'max-height']);
    assert.deepEqual(found.find((f) => f.code === 'max-height').waypoints, [2]);
});

test('every zone entered is named, with the waypoints inside and the legs crossing', () => {
    const m = line(4, 500);
    const zones = [
        {...offset(home, 90, 750), radius: 100, name: 'Hospital'},
        {...offset(home, 90, 1500), radius: 50, name: 'Stadium'},
        {...offset(home, 0, 5000), radius: 500, name: 'Airfield'},
    ];
    const found = checkMission(m, {zones}).filter((f) => f.code === 'zone');
    assert.equal(found.length, 2);
    assert.match(found[0].text, /"Hospital".*leg 2→3 crossing/);
    assert.match(found[1].text, /"Stadium".*waypoint 4 inside/);
});

test('zones that could not be fetched are reported, not silently passed', () => {
    const found = checkMission(line(3), {zones: null, zoneError: 'no answer'});
    assert.deepEqual(codes(found), ['zones-unknown']);
    assert.match(found[0].text, /no answer/);
});

test('limits match what the aircraft accepts', () => {
    assert.deepEqual({...LIMITS}, {maxPoints: 50, maxSpeed: 20, maxFlightMinutes: 28, maxActions: 15, minHeight: 2});
});
