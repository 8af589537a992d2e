import {test, mock} from 'node:test';
import assert from 'node:assert/strict';
import {FleetState, TRAIL_POINTS} from '../../web/js/fleetstate.js';
import {CommandChannel, PushChannel} from '../../web/js/connection.js';
import {zonesFromWire, ZoneStore} from '../../web/js/zones.js';

const rad = (deg) => (deg * Math.PI) / 180;
const flight = (serial, lat, lng, extra = {}) => ({
    EVENT: 'FLIGHT_STATE',
    VALUE: {AIRCRAFT: serial, LATI: rad(lat), LONTI: rad(lng), HEIGHT: 12, SPEED: 4, YAW: 90,
            FLIGHT_STATUS: 'HOVERING', WAYPOINT_INDEX: -1, HOME_LATI: rad(47.3977), HOME_LONTI: rad(8.5456), ...extra},
});

test('the aircraft list and the connection events decide who is connected', () => {
    const fleet = new FleetState();
    fleet.setList([{AIRCRAFT: 'B2', FLIGHT_TYPE: 3, RC: 'hash-b'}, {AIRCRAFT: 'A1', FLIGHT_TYPE: 0, RC: 'hash-a'}, {RC: 'x'}]);
    assert.deepEqual(fleet.list().map((a) => [a.serial, a.type, a.rc, a.connected]),
                     [['A1', 0, 'hash-a', true], ['B2', 3, 'hash-b', true]]);
    assert.equal(fleet.apply({EVENT: 'DISCONNECT', VALUE: {AIRCRAFT: 'B2', RC: 'hash-b'}}), 'lost');
    assert.equal(fleet.get('B2').connected, false);
    fleet.apply({EVENT: 'CONNECT', VALUE: {AIRCRAFT: 'C3', FLIGHT_TYPE: 1, RC: 'hash-c'}});
    fleet.setList([{AIRCRAFT: 'C3', FLIGHT_TYPE: 1, RC: 'hash-c'}]);
    assert.equal(fleet.get('A1').connected, false);
    assert.equal(fleet.get('C3').connected, true);
    assert.equal(fleet.forget('C3'), false);
    assert.equal(fleet.forget('A1'), true);
    assert.deepEqual(fleet.list().map((a) => a.serial), ['B2', 'C3']);
});

test('flight state turns radians into degrees, keeps home and tells status changes', () => {
    const fleet = new FleetState();
    assert.equal(fleet.apply(flight('A1', 47.4, 8.55)), 'status HOVERING');
    assert.equal(fleet.apply(flight('A1', 47.4, 8.55)), null);
    assert.equal(fleet.apply(flight('A1', 47.4, 8.55, {FLIGHT_STATUS: 'MISSION'})), 'HOVERING → MISSION');
    const a = fleet.get('A1');
    assert.ok(Math.abs(a.state.lat - 47.4) < 1e-9);
    assert.ok(Math.abs(a.home.lng - 8.5456) < 1e-9);
    assert.equal(a.state.yaw, 90);
    assert.equal(a.connected, true);
});

test('the trail keeps the recent path, skips standstill and restarts after a jump', () => {
    const fleet = new FleetState();
    for (let i = 0; i < TRAIL_POINTS + 20; ++i)
        fleet.apply(flight('A1', 47.4 + i * 0.00001, 8.55));
    fleet.apply(flight('A1', 47.4 + (TRAIL_POINTS + 19) * 0.00001, 8.55));
    const a = fleet.get('A1');
    assert.equal(a.trail.length, TRAIL_POINTS);
    fleet.apply(flight('A1', 46.0, 7.0));
    assert.equal(a.trail.length, 1);
});

test('events without an aircraft change nobody', () => {
    const fleet = new FleetState();
    assert.equal(fleet.apply({EVENT: 'WP_UPLOAD_PROGRESS', VALUE: 50}), null);
    assert.equal(fleet.list().length, 0);
});

test('zones arrive in radians and are gathered once each', () => {
    const store = new ZoneStore();
    const wire = [{LATI: rad(47.4), LONTI: rad(8.55), RADIUS: 500, NAME: 'Hospital'}, {NAME: 'broken'}];
    const zones = zonesFromWire(wire);
    assert.equal(zones.length, 1);
    assert.ok(Math.abs(zones[0].lat - 47.4) < 1e-9);
    assert.equal(store.add(zones).length, 1);
    assert.equal(store.add(zonesFromWire(wire)).length, 0);
    assert.equal(store.all().length, 1);
});

class FakeSocket {
    static made = [];
    constructor(url) {
        this.url = url;
        this.sent = [];
        FakeSocket.made.push(this);
    }
    send(text) {
        this.sent.push(JSON.parse(text));
    }
    close() {
        this.onclose?.();
    }
    answer(reply) {
        this.onmessage({data: JSON.stringify(reply)});
    }
}

test('commands go out with their sequence string and come back to their caller', async (t) => {
    mock.timers.enable({apis: ['setTimeout', 'Date']});
    t.after(() => mock.timers.reset());
    FakeSocket.made = [];
    const channel = new CommandChannel('ws://host/groundstation', {WebSocketImpl: FakeSocket});
    const early = await channel.send('GetAircraftList');
    assert.equal(early.ok, false);
    assert.equal(early.message, 'not connected to the host');
    channel.start();
    const socket = FakeSocket.made[0];
    socket.onopen();
    const pending = channel.send('DoFunction', {AIRCRAFT: 'A1', FUNCTION: 'TAKE_OFF'});
    const sent = socket.sent[0];
    assert.equal(sent.CMD, 'DoFunction');
    socket.answer({CMD: 'DoFunction', SEQ: sent.SEQ, ERROR: 'FAILURE', ERROR_MESSAGE: 'battery too low'});
    const result = await pending;
    assert.equal(result.ok, false);
    assert.equal(result.message, 'battery too low');
});

test('a closed command connection fails what is open and comes back by itself', async (t) => {
    mock.timers.enable({apis: ['setTimeout', 'Date']});
    t.after(() => mock.timers.reset());
    FakeSocket.made = [];
    const channel = new CommandChannel('ws://host/groundstation', {WebSocketImpl: FakeSocket});
    const states = [];
    channel.on('state', (s) => states.push(s.up));
    channel.start();
    FakeSocket.made[0].onopen();
    const pending = channel.send('ClickGo', {});
    FakeSocket.made[0].close();
    assert.match((await pending).message, /closed before an answer/);
    assert.equal(FakeSocket.made.length, 1);
    mock.timers.tick(500);
    assert.equal(FakeSocket.made.length, 2);
    // A refused attempt waits longer before the next.
    FakeSocket.made[1].close();
    mock.timers.tick(999);
    assert.equal(FakeSocket.made.length, 2);
    mock.timers.tick(1);
    assert.equal(FakeSocket.made.length, 3);
    FakeSocket.made[2].onopen();
    assert.deepEqual(states, [true, false, false, true]);
});

test('the push connection hands on every event and skips what is not JSON', (t) => {
    mock.timers.enable({apis: ['setTimeout', 'Date']});
    t.after(() => mock.timers.reset());
    FakeSocket.made = [];
    const push = new PushChannel('ws://host/groundstation/push', {WebSocketImpl: FakeSocket});
    const events = [];
    const garbage = [];
    push.on('event', (e) => events.push(e.EVENT));
    push.on('garbage', (g) => garbage.push(g));
    push.start();
    const socket = FakeSocket.made[0];
    socket.onopen();
    socket.answer({EVENT: 'CONNECT', VALUE: {AIRCRAFT: 'A1'}});
    socket.onmessage({data: 'not json'});
    socket.answer({EVENT: 'WP_UPLOAD_PROGRESS', VALUE: 50});
    assert.deepEqual(events, ['CONNECT', 'WP_UPLOAD_PROGRESS']);
    assert.deepEqual(garbage, ['not json']);
});
