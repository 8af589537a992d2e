import {test, mock} from 'node:test';
import assert from 'node:assert/strict';
import {FleetState, TRAIL_POINTS} from '../../web/js/model/fleetstate.js';
import {CommandChannel} from '../../web/js/protocol/connection.js';
import {zonesFromWire, ZoneStore} from '../../web/js/geo/zones.js';

const rad = (deg) => (deg * Math.PI) / 180;
const flight = (serial, lat, lng, extra = {}) => ({EVENT: 'FLIGHT_STATE', VALUE: {AIRCRAFT: serial, LATI: rad(lat), LONTI: rad(lng),
    HEIGHT: 12, SPEED: 4, YAW: 90, FLIGHT_STATUS: 'HOVERING', WAYPOINT_INDEX: -1, HOME_LATI: rad(47.3977), HOME_LONTI: rad(8.5456), ...extra}});

test('list and events decide who is connected; flight state gives degrees, status changes and a bounded trail', () => {
    const fleet = new FleetState();
    fleet.setList([{AIRCRAFT: 'B2', FLIGHT_TYPE: 3, RC: 'hash-b'}, {AIRCRAFT: 'A1', FLIGHT_TYPE: 0, RC: 'hash-a'}, {RC: 'x'}]);
    assert.deepEqual(fleet.list().map((a) => [a.serial, a.type, a.rc, a.connected]),
                     [['A1', 0, 'hash-a', true], ['B2', 3, 'hash-b', true]]);
    assert.equal(fleet.apply({EVENT: 'DISCONNECT', VALUE: {AIRCRAFT: 'B2', RC: 'hash-b'}}), 'lost');
    fleet.apply({EVENT: 'CONNECT', VALUE: {AIRCRAFT: 'C3', FLIGHT_TYPE: 1, RC: 'hash-c'}});
    fleet.setList([{AIRCRAFT: 'C3', FLIGHT_TYPE: 1, RC: 'hash-c'}]);
    assert.deepEqual(['A1', 'B2', 'C3'].map((s) => fleet.get(s).connected), [false, false, true]);
    assert.deepEqual([fleet.forget('C3'), fleet.forget('A1')], [false, true]);
    assert.deepEqual(fleet.list().map((a) => a.serial), ['B2', 'C3']);
    assert.equal(fleet.apply({EVENT: 'WP_UPLOAD_PROGRESS', VALUE: 50}), null);
    assert.equal(fleet.apply(flight('A1', 47.4, 8.55)), 'status HOVERING');
    assert.equal(fleet.apply(flight('A1', 47.4, 8.55)), null);
    assert.equal(fleet.apply(flight('A1', 47.4, 8.55, {FLIGHT_STATUS: 'MISSION'})), 'HOVERING → MISSION');
    const a = fleet.get('A1');
    assert.ok(Math.abs(a.state.lat - 47.4) < 1e-9 && Math.abs(a.home.lng - 8.5456) < 1e-9);
    for (let i = 0; i < TRAIL_POINTS + 20; ++i)
        fleet.apply(flight('A1', 47.4 + i * 0.00001, 8.55));
    assert.equal(a.trail.length, TRAIL_POINTS);
    fleet.apply(flight('A1', 46.0, 7.0));
    assert.equal(a.trail.length, 1, 'a jump starts the trail afresh');
});

test('zones arrive in radians and are gathered once each', () => {
    const store = new ZoneStore();
    const wire = [{LATI: rad(47.4), LONTI: rad(8.55), RADIUS: 500, NAME: 'Hospital'}, {NAME: 'broken'}];
    assert.deepEqual([store.add(zonesFromWire(wire)).length, store.add(zonesFromWire(wire)).length], [1, 0]);
    assert.ok(Math.abs(store.all()[0].lat - 47.4) < 1e-9);
});

class FakeSocket {
    static made = [];
    constructor() { this.sent = []; FakeSocket.made.push(this); }
    send(text) { this.sent.push(JSON.parse(text)); }
    close() { this.onclose?.(); }
    answer(reply) { this.onmessage({data: typeof reply === 'string' ? reply : JSON.stringify(reply)}); }
}

test('commands wait for their own reply, fail when the connection closes, and the connection comes back', async (t) => {
    mock.timers.enable({apis: ['setTimeout', 'Date']});
    t.after(() => mock.timers.reset());
    const channel = new CommandChannel('ws://host/groundstation', {WebSocketImpl: FakeSocket});
    assert.equal((await channel.send('GetAircraftList')).message, 'not connected to the host');
    channel.start();
    FakeSocket.made[0].onopen();
    const garbage = [];
    channel.on('garbage', (g) => garbage.push(g));
    FakeSocket.made[0].answer('not json');
    const pending = channel.send('DoFunction', {AIRCRAFT: 'A1', FUNCTION: 'TAKE_OFF'});
    const {CMD, SEQ} = FakeSocket.made[0].sent[0];
    FakeSocket.made[0].answer({CMD, SEQ, ERROR: 'FAILURE', ERROR_MESSAGE: 'battery too low'});
    assert.deepEqual([CMD, (await pending).ok, (await pending).message, garbage], ['DoFunction', false, 'battery too low', ['not json']]);
    const lost = channel.send('ClickGo', {});
    FakeSocket.made[0].close();
    assert.match((await lost).message, /closed before an answer/);
    const socketsAfter = (ms) => (mock.timers.tick(ms), FakeSocket.made.length);
    assert.equal(socketsAfter(500), 2);
    // A refused attempt waits longer before the next.
    FakeSocket.made[1].close();
    assert.deepEqual([socketsAfter(999), socketsAfter(1)], [2, 3]);
});
