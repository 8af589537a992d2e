import {test} from 'node:test';
import assert from 'node:assert/strict';
import {FleetState} from '../../web/js/model/fleetstate.js';
import {TRAIL_POINTS} from '../../web/js/model/trail.js';
import {zonesFromWire, ZoneStore} from '../../web/js/geo/zones.js';

const rad = (deg) => (deg * Math.PI) / 180;
const flight = (serial, lat, lng, extra = {}) => ({
    EVENT: 'FLIGHT_STATE',
    VALUE: {AIRCRAFT: serial, LATI: rad(lat), LONTI: rad(lng), FLIGHT_STATUS: 'HOVERING', ...extra},
});

test('list and events decide who is connected; flight state gives degrees, status changes and a bounded trail', () => {
    const fleet = new FleetState();
    fleet.setList([{AIRCRAFT: 'B2', FLIGHT_TYPE: 3, RC: 'hash-b'}, {AIRCRAFT: 'A1', FLIGHT_TYPE: 0, RC: 'hash-a'}, {}]);
    const listed = () => fleet.list().map((a) => `${a.serial} ${a.type} ${a.rc} ${a.connected}`);
    assert.deepEqual(listed(), ['A1 0 hash-a true', 'B2 3 hash-b true']);
    assert.equal(fleet.apply({EVENT: 'DISCONNECT', VALUE: {AIRCRAFT: 'B2', RC: 'hash-b'}}), 'lost');
    fleet.apply({EVENT: 'CONNECT', VALUE: {AIRCRAFT: 'C3', FLIGHT_TYPE: 1, RC: 'hash-c'}});
    fleet.setList([{AIRCRAFT: 'C3', FLIGHT_TYPE: 1, RC: 'hash-c'}]);
    assert.deepEqual([fleet.forget('C3'), fleet.forget('A1')], [false, true]);
    assert.deepEqual(listed(), ['B2 3 hash-b false', 'C3 1 hash-c true']);
    assert.equal(fleet.apply({EVENT: 'WP_UPLOAD_PROGRESS', VALUE: 50}), null);
    const home = {HOME_LATI: rad(47.3977), HOME_LONTI: rad(8.5456)};
    const notes = ['HOVERING', 'HOVERING', 'MISSION'].map((s) =>
        fleet.apply(flight('A1', 47.4, 8.55, {FLIGHT_STATUS: s, ...home})),
    );
    assert.deepEqual(notes, ['status HOVERING', null, 'HOVERING → MISSION']);
    const a = fleet.get('A1');
    assert.ok(Math.abs(a.state.lat - 47.4) < 1e-9 && Math.abs(a.home.lng - 8.5456) < 1e-9);
    for (let i = 0; i < TRAIL_POINTS + 20; ++i) fleet.apply(flight('A1', 47.4 + i * 0.00001, 8.55));
    assert.ok(a.trail.length <= TRAIL_POINTS && a.trail[0].lat === 47.4, 'the whole flight, thinned');
    fleet.apply(flight('A1', 46.0, 7.0));
    assert.equal(a.trail.length, 1, 'a jump starts the trail afresh');
});

test('zones arrive in radians and are gathered once each', () => {
    const store = new ZoneStore();
    const wire = [{LATI: rad(47.4), LONTI: rad(8.55), RADIUS: 500, NAME: 'Hospital'}, {NAME: 'broken'}];
    assert.deepEqual([store.add(zonesFromWire(wire)).length, store.add(zonesFromWire(wire)).length], [1, 0]);
    assert.ok(Math.abs(store.all()[0].lat - 47.4) < 1e-9);
});
