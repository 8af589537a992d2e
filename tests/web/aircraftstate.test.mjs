import {test} from 'node:test';
import assert from 'node:assert/strict';
import {AircraftMissions, isFlyHereLeg} from '../../web/js/model/aircraftmission.js';
import {MissionStore} from '../../web/js/model/missionstore.js';
import {History} from '../../web/js/model/history.js';
import {commandState, oneBased} from '../../web/js/model/commandstate.js';
import {createMission, createWaypoint, missionToWire} from '../../web/js/model/mission.js';

const memory = (items = new Map()) => ({getItem: (k) => items.get(k) ?? null, setItem: (k, v) => items.set(k, v)});
const stay = [{type: 'WP_ACTION_STAY', param: 3}];
const mission = (n) => ({
    ...createMission(),
    waypoints: Array.from({length: n}, (_, i) => ({...createWaypoint(47.2 + i / 1000, 8.9), actions: i ? [] : stay})),
});
// What the aircraft reports back: no command lists, single-precision heights.
const reported = ({WAY_POINTS, ...wire}) => ({
    ...wire,
    WAY_POINTS: WAY_POINTS.map((p) => ({...p, ALTI: Math.fround(p.ALTI), ACTION: p.ACTION && {ACTION_NUM: 1}})),
});

test('each aircraft keeps what it holds: an upload with its actions, a fly-here over it, a mission from elsewhere', () => {
    const storage = memory();
    const m = mission(3);
    const wire = missionToWire(m);
    const missions = new AircraftMissions(storage);
    assert.equal(missions.compare('A', m).state, 'unknown');
    missions.uploaded('A', m, wire);
    assert.deepEqual([missions.compare('A', m).state, missions.compare('B', m).state], ['same', 'unknown']);
    const [w1, w2, w3] = m.waypoints;
    const edited = {...m, waypoints: [w1, {...w2, alt: 50}, w3, createWaypoint(47.3, 8.9)]};
    assert.match(
        missions.compare('A', edited).text,
        /3 waypoints.*\(the editor's 4 waypoints: waypoint 2 changed, 1 added\)/,
    );

    // After a reload the aircraft's report, without actions, still matches the upload, which keeps them.
    const again = new AircraftMissions(storage);
    again.reported('A', reported(wire));
    assert.equal(again.compare('A', m).state, 'same');
    assert.deepEqual(again.editable('A', reported(wire)).mission.waypoints[0].actions, stay);

    again.flewHere('A', {lat: 47.3, lng: 8.9}, 20);
    assert.match(again.compare('A', m).text, /fly-here leg to 47.30000°, 8.90000°.*replaced the uploaded 3 waypoints/);
    const point = (i) => ({LATI: 0.82, LONTI: 0.155 + i / 1e4, ALTI: 20, DAMPING_DIS: 1, ACTION_TIME_LIMIT: 50});
    const leg = {LENGTH: 2, VEL_CMD_RANGE: 15, IDLE_VEL: 5, WAY_POINTS: [point(0), point(1)]};
    assert.deepEqual([isFlyHereLeg(leg), isFlyHereLeg(wire)], [true, false]);
    again.reported('B', leg);
    again.reported('C', reported(missionToWire(mission(4))));
    again.reported('D', null);
    assert.deepEqual(
        ['B', 'C', 'D'].map((s) => again.compare(s, m).state),
        ['flyhere', 'foreign', 'none'],
    );
});

test('drafts are per aircraft, and every edit undoes and redoes, also after a reload', () => {
    const storage = memory();
    const store = new MissionStore(storage);
    store.add(47.2, 8.9);
    store.use('A');
    assert.equal(store.mission.waypoints.length, 1, 'a plan made before any aircraft goes to the first one');
    const w = store.add(47.21, 8.9);
    store.updateWaypoint(w.id, {lat: 47.22}, 'structure');
    store.remove(w.id);
    store.use('B');
    assert.equal(store.mission.waypoints.length, 0);

    const reloaded = new MissionStore(storage);
    reloaded.use('A');
    assert.deepEqual([reloaded.mission.waypoints.length, reloaded.history.undoLabel()], [1, 'delete waypoint 2']);
    const lat = () => reloaded.mission.waypoints[1]?.lat;
    const steps = ['undo', 'undo', 'redo', 'undo', 'undo'].map((step) => (reloaded[step](), lat()));
    assert.deepEqual(steps, [47.22, 47.21, 47.22, 47.21, undefined]);
    reloaded.add(0, 0);
    assert.equal(reloaded.history.redoLabel(), '', 'a new edit ends the redo');

    const bounded = new History(3, 10);
    for (let i = 0; i < 10; ++i) bounded.record(`step ${i}`, 'edit');
    assert.deepEqual(
        bounded.past.map((e) => e.text),
        ['step 9'],
        'kept within 10 characters',
    );
});

test('commands the state rules out are disabled with the reason, and refusals count from 1', () => {
    const a = (status, waypointIndex = -1) => ({sn: 'S1', connected: true, home: {}, state: {status, waypointIndex}});
    const off = (state) =>
        Object.keys(state)
            .filter((k) => state[k])
            .join(' ');
    assert.equal(off(commandState(a('ON_GROUND'))), 'land hold pause resume cont cancel home');
    assert.equal(off(commandState(a('MISSION', 1))), 'takeoff resume cont');
    assert.equal(off(commandState(a('MISSION_PAUSED', 1))), 'takeoff hold pause');
    assert.match(commandState(a('GOING_HOME')).hold, /returning home by itself/);
    assert.match(commandState(a('HOVERING'), 'none').start, /S1 holds no mission/);
    assert.match(commandState({...a('HOVERING'), connected: false}).land, /S1 is lost/);
    const refusal = 'leg from waypoint 0 to 1 crosses X; waypoint 3: ALTI 600 m; LENGTH 1 is outside 2 to 50 waypoints';
    assert.equal(oneBased(refusal), refusal.replace('0 to 1', '1 to 2').replace('3:', '4:'));
});
