// The stations a broker carries and the aircraft of each, built from the
// bridges' topics: oru/NAME/status, oru/NAME/fleet, oru/NAME/aircraft/SN/EVENT
// and oru/NAME/event/EVENT. Pure logic: it takes topics and payload texts.
import {Emitter} from './emitter.js';
import {FleetState} from './fleetstate.js';

// A broker may carry more than a page can draw; beyond these the rest is
// left out, and said so once.
export const MAX_STATIONS = 64;
export const MAX_AIRCRAFT = 2000;

export const SUBSCRIPTIONS = ['oru/+/status', 'oru/+/fleet', 'oru/+/aircraft/+/+', 'oru/+/event/+'];

function parse(text) {
    if (text === '') return {empty: true};
    try {
        return {value: JSON.parse(text)};
    } catch (e) {
        return {error: 'not JSON'};
    }
}

const isObject = (v) => v != null && typeof v === 'object' && !Array.isArray(v);

export class StationFleet extends Emitter {
    constructor(now = () => Date.now()) {
        super();
        this.now = now;
        this.stations = new Map();
    }

    list() {
        return [...this.stations.values()].sort((a, b) => a.name.localeCompare(b.name));
    }

    aircraftCount() {
        let n = 0;
        for (const s of this.stations.values()) n += s.fleet.aircraft.size;
        return n;
    }

    aircraft() {
        return this.list().flatMap((s) => s.fleet.list());
    }

    // key: "station/sn" as FleetState names a station's aircraft.
    get(key) {
        const at = typeof key === 'string' ? key.indexOf('/') : -1;
        const station = at > 0 ? this.stations.get(key.slice(0, at)) : null;
        return station ? station.fleet.get(key) : null;
    }

    forget(key) {
        const a = this.get(key);
        return a ? this.stations.get(a.station).fleet.forget(key) : false;
    }

    clear() {
        this.stations.clear();
        this.emit('changed');
    }

    station(name, create) {
        let s = this.stations.get(name);
        if (!s && create) {
            if (this.stations.size >= MAX_STATIONS) return null;
            s = {name, online: null, fleet: new FleetState(this.now, name)};
            this.stations.set(name, s);
        }
        return s || null;
    }

    // One message from the broker. Returns what happened, for the page to
    // show: {station, kind, event?, note?}, or {ignored: reason}.
    handle(topic, text) {
        const levels = typeof topic === 'string' ? topic.split('/') : [];
        const name = levels[1];
        if (levels[0] !== 'oru' || !name) return {ignored: `not a station's topic: ${topic}`};
        const kind = levels[2];
        const payload = parse(String(text ?? ''));
        if (payload.error) return {ignored: `${topic}: ${payload.error}`};
        if (kind === 'status' && levels.length === 3) return this.onStatus(name, payload);
        if (kind === 'fleet' && levels.length === 3) return this.onFleet(name, payload);
        if (kind === 'aircraft' && levels.length === 5)
            return this.onAircraftEvent(name, levels[3], levels[4], payload);
        if (kind === 'event' && levels.length === 4) return this.onStationEvent(name, levels[3], payload);
        return {ignored: `not a station's topic: ${topic}`};
    }

    onStatus(name, payload) {
        // An empty retained status is a station taken off the broker for good.
        if (payload.empty) {
            if (!this.stations.delete(name)) return {ignored: `${name}: empty status of an unknown station`};
            this.emit('changed');
            return {station: name, kind: 'removed'};
        }
        const state = isObject(payload.value) ? payload.value.STATE : undefined;
        if (state !== 'online' && state !== 'offline')
            return {ignored: `${name}: status without "STATE" online or offline`};
        const s = this.station(name, true);
        if (!s) return {ignored: `${name}: more than ${MAX_STATIONS} stations`};
        s.online = state === 'online';
        if (!s.online) this.markLost(s);
        this.emit('changed');
        return {station: name, kind: 'status'};
    }

    onFleet(name, payload) {
        const list = payload.empty ? [] : payload.value;
        if (!Array.isArray(list)) return {ignored: `${name}: fleet is not a list`};
        const s = this.station(name, true);
        if (!s) return {ignored: `${name}: more than ${MAX_STATIONS} stations`};
        const valid = list.filter((e) => isObject(e) && typeof e.AIRCRAFT === 'string' && e.AIRCRAFT);
        // Live aircraft of other stations keep their place; lost ones, this
        // station's included once the list drops them, give way.
        let othersLive = 0;
        for (const other of this.stations.values())
            if (other !== s) for (const a of other.fleet.aircraft.values()) othersLive += a.connected ? 1 : 0;
        const room = MAX_AIRCRAFT - othersLive;
        s.fleet.setList(valid.slice(0, Math.max(room, 0)));
        const evicted = this.makeRoom(0);
        // A retained fleet may arrive after the station's offline status.
        if (s.online === false) this.markLost(s);
        this.emit('changed');
        const cut = valid.length - Math.max(room, 0);
        return {
            station: name,
            kind: 'fleet',
            evicted,
            note: cut > 0 ? `${cut} aircraft left out: the page shows at most ${MAX_AIRCRAFT}` : null,
        };
    }

    onAircraftEvent(name, sn, eventName, payload) {
        const event = payload.value;
        const value = isObject(event) ? event.VALUE : null;
        if (!isObject(value) || event.EVENT !== eventName || value.AIRCRAFT !== sn)
            return {ignored: `${name}: ${eventName} of ${sn} is not that aircraft's event`};
        const s = this.station(name, true);
        if (!s) return {ignored: `${name}: more than ${MAX_STATIONS} stations`};
        const known = !!s.fleet.get(s.fleet.keyOf(sn));
        const evicted = known ? 0 : this.makeRoom(1);
        if (!known && this.aircraftCount() >= MAX_AIRCRAFT)
            return {ignored: `${name}: ${sn} left out, the page shows at most ${MAX_AIRCRAFT} aircraft`};
        const note = s.fleet.apply(event);
        return {station: name, kind: 'aircraft', event, note, evicted, aircraft: s.fleet.get(s.fleet.keyOf(sn))};
    }

    // Lost aircraft give way to live ones once the page is full; returns how
    // many were forgotten.
    makeRoom(needed) {
        let over = this.aircraftCount() + needed - MAX_AIRCRAFT;
        let evicted = 0;
        for (const s of this.stations.values()) {
            for (const a of [...s.fleet.aircraft.values()]) {
                if (over <= 0) return evicted;
                if (s.fleet.forget(a.serial)) {
                    over -= 1;
                    evicted += 1;
                }
            }
        }
        return evicted;
    }

    onStationEvent(name, eventName, payload) {
        const event = payload.value;
        if (!isObject(event) || event.EVENT !== eventName) return {ignored: `${name}: ${eventName} is not that event`};
        if (!this.stations.has(name)) return {ignored: `${name}: event of an unknown station`};
        return {station: name, kind: 'event', event};
    }

    markLost(s) {
        for (const a of s.fleet.aircraft.values()) a.connected = false;
    }
}
