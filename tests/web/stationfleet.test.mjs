import {test} from 'node:test';
import assert from 'node:assert/strict';
import {StationFleet, MAX_AIRCRAFT} from '../../web/js/model/stationfleet.js';
import {FleetState} from '../../web/js/model/fleetstate.js';
import {FleetView} from '../../web/js/model/fleetview.js';

const json = (v) => JSON.stringify(v);
const fleetOf = (...serials) => json(serials.map((s) => ({AIRCRAFT: s, FLIGHT_TYPE: 1, RC: 'rc'})));
const state = (f) => f.aircraft().map((a) => `${a.serial} ${a.connected}`);

test('stations come and go; their fleets replace each other and clashing serials stay apart', () => {
    const f = new StationFleet();
    f.handle('oru/b/fleet', fleetOf('SIM1'));
    f.handle('oru/b/status', json({STATE: 'offline'}));
    f.handle('oru/a/status', json({STATE: 'online'}));
    f.handle('oru/a/fleet', fleetOf('SIM1', 'SIM2'));
    // A retained fleet of a station that is offline lists nothing commandable.
    assert.deepEqual(state(f), ['a/SIM1 true', 'a/SIM2 true', 'b/SIM1 false']);
    f.handle('oru/a/fleet', fleetOf('SIM2'));
    assert.deepEqual(state(f).slice(0, 2), ['a/SIM1 false', 'a/SIM2 true']);
    f.handle('oru/b/status', '');
    assert.deepEqual(
        f.list().map((s) => s.name),
        ['a'],
    );
    const view = new FleetView(new FleetState(), f);
    assert.deepEqual(view.remote('a/SIM2'), {station: 'a', sn: 'SIM2'});
});

test('telemetry reaches the aircraft of its topic only, and the page keeps a bounded fleet', () => {
    const f = new StationFleet();
    f.handle('oru/a/fleet', fleetOf('SIM1'));
    const flight = {
        EVENT: 'FLIGHT_STATE',
        VALUE: {AIRCRAFT: 'SIM1', LATI: 0.8, LONTI: 0.15, FLIGHT_STATUS: 'HOVERING'},
    };
    assert.equal(f.handle('oru/a/aircraft/SIM1/FLIGHT_STATE', json(flight)).kind, 'aircraft');
    assert.equal(f.get('a/SIM1').state.status, 'HOVERING');
    // Another aircraft's or another event's payload on this topic is refused.
    assert.ok(f.handle('oru/a/aircraft/SIM2/FLIGHT_STATE', json(flight)).ignored);
    assert.ok(f.handle('oru/a/aircraft/SIM1/BATTERY_STATE', json(flight)).ignored);
    const many = Array.from({length: MAX_AIRCRAFT + 5}, (_, i) => `X${i}`);
    assert.match(f.handle('oru/b/fleet', fleetOf(...many)).note, /6 aircraft left out/);
    assert.equal(f.aircraftCount(), MAX_AIRCRAFT);
    assert.ok(f.handle('oru/c/aircraft/NEW/CONNECT', json({EVENT: 'CONNECT', VALUE: {AIRCRAFT: 'NEW'}})).ignored);
});

test('malformed payloads and foreign topics change nothing', () => {
    const f = new StationFleet();
    f.handle('oru/a/status', json({STATE: 'online'}));
    for (const [topic, text] of [
        ['oru/a/status', '{not json'],
        ['oru/a/status', json({STATE: 'sleeping'})],
        ['oru/a/fleet', json({AIRCRAFT: 'SIM1'})],
        ['oru/a/aircraft/SIM1/FLIGHT_STATE', json([1, 2])],
        ['oru/a/event/WP_UPLOAD_PROGRESS', json({EVENT: 'OTHER'})],
        ['oru//status', json({STATE: 'online'})],
        ['elsewhere/a/status', json({STATE: 'online'})],
    ])
        assert.ok(f.handle(topic, text).ignored, `${topic} ${text}`);
    assert.deepEqual(
        f.list().map((s) => `${s.name} ${s.online} ${s.fleet.aircraft.size}`),
        ['a true 0'],
    );
});
