// What the page knows about every aircraft of one station, built from the
// aircraft list and the pushed events. Positions are kept in degrees.
import {Emitter} from './emitter.js';
import {radToDeg, distance} from '../geo/earth.js';
import {extendTrail} from './trail.js';
// Telemetry older than this is shown as stale.
export const STALE_MS = 2000;
const JUMP_M = 200;

const finite = (v) => (typeof v === 'number' && Number.isFinite(v) ? v : null);

// serial is the name the page knows the aircraft by: its own serial number
// (sn) on the host that served the page, "station/sn" on a broker's station,
// where serials of different stations may clash.
function blank(sn, station) {
    return {
        serial: station ? `${station}/${sn}` : sn,
        sn,
        station,
        type: null,
        rc: '',
        connected: false,
        everConnected: false,
        telemetryAt: 0,
        state: null,
        home: null,
        battery: null,
        trail: [],
        lastWaypoint: null,
        missionFinished: false,
    };
}

export class FleetState extends Emitter {
    constructor(now = () => Date.now(), station = '') {
        super();
        this.now = now;
        this.station = station;
        this.aircraft = new Map();
    }

    keyOf(sn) {
        return this.station ? `${this.station}/${sn}` : sn;
    }

    get(serial) {
        return this.aircraft.get(serial) || null;
    }

    list() {
        return [...this.aircraft.values()].sort((a, b) => a.serial.localeCompare(b.serial));
    }

    // sn: the aircraft's own serial number.
    upsert(sn) {
        let a = this.aircraft.get(this.keyOf(sn));
        if (!a) {
            a = blank(sn, this.station);
            this.aircraft.set(a.serial, a);
            this.emit('added', a);
        }
        return a;
    }

    // Only a lost aircraft may be forgotten; a connected one would return
    // with its next event anyway.
    forget(serial) {
        const a = this.aircraft.get(serial);
        if (!a || a.connected) return false;
        this.aircraft.delete(serial);
        this.emit('removed', a);
        return true;
    }

    // The reply to "GetAircraftList": everything listed is connected; an
    // aircraft we knew that is no longer listed is lost.
    setList(list) {
        const listed = new Set();
        for (const entry of Array.isArray(list) ? list : []) {
            if (!entry || typeof entry.AIRCRAFT !== 'string' || !entry.AIRCRAFT) continue;
            const a = this.upsert(entry.AIRCRAFT);
            listed.add(a.serial);
            a.type = finite(entry.FLIGHT_TYPE);
            a.rc = typeof entry.RC === 'string' ? entry.RC : a.rc;
            a.connected = true;
            a.everConnected = true;
            this.emit('changed', a);
        }
        for (const a of this.aircraft.values()) {
            if (!listed.has(a.serial) && a.connected) {
                a.connected = false;
                this.emit('changed', a);
            }
        }
    }

    // Applies one pushed event; returns what the log should say about it, or
    // null for events that only update telemetry.
    apply(event) {
        if (!event || typeof event !== 'object') return null;
        const name = event.EVENT;
        const value = event.VALUE && typeof event.VALUE === 'object' ? event.VALUE : {};
        const serial = typeof value.AIRCRAFT === 'string' ? value.AIRCRAFT : '';
        if (!serial) return null;
        const a = this.upsert(serial);
        let note = null;
        switch (name) {
            case 'CONNECT':
                a.type = finite(value.FLIGHT_TYPE);
                a.rc = typeof value.RC === 'string' ? value.RC : a.rc;
                a.connected = true;
                a.everConnected = true;
                note = `connected (type ${a.type ?? '?'}, RC ${a.rc || '?'})`;
                break;
            case 'DISCONNECT':
                a.connected = false;
                note = 'lost';
                break;
            case 'FLIGHT_STATE':
                note = this.applyFlightState(a, value);
                break;
            case 'BATTERY_STATE':
                a.battery = {
                    percent: finite(value.PERCENT),
                    voltage: finite(value.VOLTAGE),
                    remaining: finite(value.REMAINING_TIME),
                };
                break;
            case 'WAYPOINT_REACHED':
                a.lastWaypoint = finite(value.INDEX);
                note = `reached waypoint ${a.lastWaypoint != null ? a.lastWaypoint + 1 : '?'}`;
                break;
            case 'MISSION_FINISHED':
                a.missionFinished = true;
                note = 'mission finished';
                break;
            default:
                note = null;
        }
        this.emit('changed', a);
        return note;
    }

    applyFlightState(a, v) {
        const lat = finite(v.LATI);
        const lng = finite(v.LONTI);
        const previous = a.state ? a.state.status : null;
        a.telemetryAt = this.now();
        // Telemetry proves the link, whatever the last event said.
        a.connected = true;
        a.state = {
            lat: lat != null ? radToDeg(lat) : null,
            lng: lng != null ? radToDeg(lng) : null,
            height: finite(v.HEIGHT),
            vx: finite(v.VX),
            vy: finite(v.VY),
            vz: finite(v.VZ),
            speed: finite(v.SPEED),
            yaw: finite(v.YAW),
            status: typeof v.FLIGHT_STATUS === 'string' ? v.FLIGHT_STATUS : null,
            waypointIndex: finite(v.WAYPOINT_INDEX),
        };
        const hl = finite(v.HOME_LATI);
        const hg = finite(v.HOME_LONTI);
        if (hl != null && hg != null) a.home = {lat: radToDeg(hl), lng: radToDeg(hg)};
        if (a.state.lat != null && a.state.lng != null) {
            const p = {lat: a.state.lat, lng: a.state.lng};
            const last = a.trail[a.trail.length - 1];
            // No aircraft covers this between two reports: it was placed
            // elsewhere, and the trail starts anew.
            if (last && distance(last, p) > JUMP_M) a.trail = [];
            extendTrail(a.trail, p);
        }
        if (previous !== a.state.status && a.state.status)
            return previous ? `${previous} → ${a.state.status}` : `status ${a.state.status}`;
        return null;
    }

    isStale(a) {
        return !a.telemetryAt || this.now() - a.telemetryAt > STALE_MS;
    }
}
