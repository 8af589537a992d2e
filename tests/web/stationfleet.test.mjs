import {test} from 'node:test';
import assert from 'node:assert/strict';
import {StationFleet, MAX_AIRCRAFT} from '../../web/js/model/stationfleet.js';
import {FleetState} from '../../web/js/model/fleetstate.js';
import {FleetView} from '../../web/js/model/fleetview.js';
import {checkBrokerUrl} from '../../web/js/protocol/brokerlink.js';

const json = (v) => JSON.stringify(v);
const fleetOf = (...serials) => json(serials.map((s) => ({AIRCRAFT: s, FLIGHT_TYPE: 1, RC: 'rc'})));
const state = (f) => f.aircraft().map((a) => `${a.serial} ${a.connected}`);
const flight = json({EVENT: 'FLIGHT_STATE', VALUE: {AIRCRAFT: 'SIM1', LATI: 0.8, FLIGHT_STATUS: 'HOVERING'}});

test('stations come and go; their fleets replace each other and clashing serials stay apart', () => {
    const f = new StationFleet();
    f.handle('oru/b/fleet', fleetOf('SIM1'));
    f.handle('oru/b/status', json({STATE: 'offline'}));
    f.handle('oru/a/status', json({STATE: 'online'}));
    f.handle('oru/a/fleet', fleetOf('SIM1', 'SIM2'));
    // A retained fleet of a station that is offline lists nothing commandable.
    assert.deepEqual(state(f), ['a/SIM1 true', 'a/SIM2 true', 'b/SIM1 false']);
    f.handle('oru/a/fleet', fleetOf('SIM2'));
    f.handle('oru/b/status', '');
    assert.deepEqual(state(f), ['a/SIM1 false', 'a/SIM2 true']);
    assert.deepEqual(new FleetView(new FleetState(), f).remote('a/SIM2'), {station: 'a', sn: 'SIM2'});
});

test('telemetry reaches the aircraft of its topic, and the page keeps a bounded fleet', () => {
    const f = new StationFleet();
    f.handle('oru/a/fleet', fleetOf('SIM1'));
    f.handle('oru/a/aircraft/SIM1/FLIGHT_STATE', flight);
    assert.equal(f.get('a/SIM1').state.status, 'HOVERING');
    const many = Array.from({length: MAX_AIRCRAFT + 5}, (_, i) => `X${i}`);
    assert.match(f.handle('oru/b/fleet', fleetOf(...many)).note, /6 aircraft left out/);
    assert.ok(f.handle('oru/c/aircraft/SIM1/FLIGHT_STATE', flight).ignored);
    // Lost aircraft make way for live ones, also those a fleet just dropped.
    f.handle('oru/b/fleet', fleetOf(...many.map((x) => `Y${x}`)));
    assert.equal(f.aircraftCount(), MAX_AIRCRAFT);
    f.handle('oru/b/fleet', fleetOf('X0'));
    assert.equal(f.handle('oru/c/aircraft/SIM1/FLIGHT_STATE', flight).evicted, 1);
});

test('malformed payloads, foreign topics and URLs of no broker are refused', () => {
    const f = new StationFleet();
    f.handle('oru/a/status', json({STATE: 'online'}));
    for (const [topic, text] of [
        ['oru/a/status', '{not json'],
        ['oru/a/status', json({STATE: 'sleeping'})],
        ['oru/a/fleet', json({AIRCRAFT: 'SIM1'})],
        ['oru/a/aircraft/SIM2/FLIGHT_STATE', flight],
        ['oru/a/aircraft/SIM1/BATTERY_STATE', flight],
        ['oru/a/event/WP_UPLOAD_PROGRESS', json({EVENT: 'OTHER'})],
        ['elsewhere/a/status', json({STATE: 'online'})],
    ])
        assert.ok(f.handle(topic, text).ignored, `${topic} ${text}`);
    assert.deepEqual(state(f), []);
    assert.throws(() => checkBrokerUrl('http://127.0.0.1:9001'), /ws:\/\/ or wss:\/\//);
    assert.throws(() => checkBrokerUrl('ws://127.0.0.1'), /port/);
});
