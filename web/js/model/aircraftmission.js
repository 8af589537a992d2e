// What each aircraft holds as its mission, as far as this browser knows:
// what it last uploaded there (by whom, when, with every action), a fly-here
// leg that replaced it, or what the aircraft reported when asked. The aircraft
// keeps one mission: a fly-here uploads a two-waypoint leg over it.
import {Emitter} from './emitter.js';
import {missionToWire, missionFromWire} from './mission.js';
import {readMission} from './missionstore.js';

const KEY = 'oru.onboard';
export const MAX_RECORDS = 64;

const round = (v, step) => Math.round((Number(v) || 0) / step) * step;

// What survives the trip to the aircraft and back: the aircraft reports no
// command lists and keeps single-precision heights and speeds.
export function wireKey(wire) {
    const w = wire && typeof wire === 'object' ? wire : {};
    const points = Array.isArray(w.WAY_POINTS) ? w.WAY_POINTS : [];
    return JSON.stringify([
        round(w.VEL_CMD_RANGE, 0.01),
        round(w.IDLE_VEL, 0.01),
        Number(w.ACTION_ON_FINISH) || 0,
        ...points.map((p) => [
            round(p?.LATI, 1e-9),
            round(p?.LONTI, 1e-9),
            round(p?.ALTI, 0.01),
            p?.HAS_SPEED ? round(p.SPEED, 0.01) : null,
            p?.HAS_ACTION ? Number(p.ACTION?.ACTION_NUM) || 0 : 0,
        ]),
    ]);
}

// Everything the editor holds that reaches the aircraft, home point aside.
export function draftKey(mission) {
    const {HP_LATI, HP_LONTI, HP_ALTI, ...wire} = missionToWire(mission);
    return JSON.stringify(wire);
}

// The two-waypoint leg a fly-here builds: speed range 15 m/s, 1 m damping,
// 50 s action limit, no home point.
export function isFlyHereLeg(wire) {
    const p = wire && Array.isArray(wire.WAY_POINTS) ? wire.WAY_POINTS : [];
    return (
        p.length === 2 &&
        Number(wire.VEL_CMD_RANGE) === 15 &&
        !wire.HP_LATI &&
        p.every((w) => w && Number(w.DAMPING_DIS) === 1 && Number(w.ACTION_TIME_LIMIT) === 50 && !w.HAS_ACTION)
    );
}

const timeOfDay = (ms) => new Date(ms).toLocaleTimeString([], {hour12: false});
// Which waypoints of the draft differ from those uploaded, counted from 1.
export function differences(uploaded, draft) {
    const a = uploaded.waypoints;
    const b = draft.waypoints;
    const same = (x, y) =>
        JSON.stringify(missionToWire({...uploaded, waypoints: [x]}).WAY_POINTS) ===
        JSON.stringify(missionToWire({...uploaded, waypoints: [y]}).WAY_POINTS);
    const changed = b.map((w, i) => (i < a.length && !same(a[i], w) ? i + 1 : 0)).filter(Boolean);
    const parts = [];
    if (changed.length)
        parts.push(`waypoint ${changed.slice(0, 5).join(', ')}${changed.length > 5 ? '…' : ''} changed`);
    if (b.length > a.length) parts.push(`${b.length - a.length} added`);
    if (b.length < a.length) parts.push(`${a.length - b.length} removed`);
    if (!parts.length) parts.push('mission settings changed');
    return parts.join(', ');
}

const point = (lat, lng) => `${lat.toFixed(5)}°, ${lng.toFixed(5)}°`;
const waypoints = (n) => `${n} waypoint${n === 1 ? '' : 's'}`;

export class AircraftMissions extends Emitter {
    constructor(storage = null, now = () => Date.now()) {
        super();
        this.storage = storage;
        this.now = now;
        this.records = new Map();
        this.restore();
    }

    get(serial) {
        return this.records.get(serial) || null;
    }

    set(serial, record) {
        this.records.set(serial, {...record, at: record.at ?? this.now()});
        this.save();
        this.emit('changed', serial);
    }

    // An upload from this page that the aircraft took.
    uploaded(serial, mission, wire) {
        this.set(serial, {
            kind: 'mission',
            by: 'you',
            count: mission.waypoints.length,
            key: wireKey(wire),
            draft: draftKey(mission),
            mission,
        });
    }

    // A fly-here (or return home) that the aircraft took: the leg is now its mission.
    flewHere(serial, target, height, what = 'fly-here leg') {
        const replaced = this.get(serial);
        this.set(serial, {
            kind: 'flyhere',
            by: 'you',
            count: 2,
            what,
            target,
            height,
            replaced: replaced && replaced.kind === 'mission' ? replaced.count : 0,
        });
    }

    // What the aircraft answered when asked for its mission: its mission in
    // wire form, or null when it holds none. What this page uploaded and
    // still matches keeps its record, with the actions the report leaves out.
    reported(serial, wire) {
        const known = this.get(serial);
        if (!wire) return this.set(serial, {kind: 'none', count: 0});
        const key = wireKey(wire);
        if (known && known.kind === 'mission' && known.key === key) return this.set(serial, {...known, at: known.at});
        const {mission} = missionFromWire(wire);
        if (isFlyHereLeg(wire)) {
            const to = mission.waypoints[1];
            if (known && known.kind === 'flyhere' && Math.abs(known.target.lat - to.lat) < 1e-6)
                return this.set(serial, {...known, at: known.at});
            return this.set(serial, {
                kind: 'flyhere',
                by: '',
                count: 2,
                what: 'fly-here leg',
                target: to,
                height: to.alt,
            });
        }
        return this.set(serial, {kind: 'foreign', by: '', count: mission.waypoints.length, key, mission});
    }

    // The mission to edit from what the aircraft reported: this page's own
    // upload where it matches, with its actions.
    editable(serial, wire) {
        const known = this.get(serial);
        if (known && known.kind === 'mission' && known.key === wireKey(wire) && known.mission)
            return {mission: readMission(JSON.parse(JSON.stringify(known.mission))), notes: []};
        return missionFromWire(wire);
    }

    // How the editor's draft stands against what the aircraft holds:
    // {state, text}, state one of unknown, none, same, differs, flyhere, foreign.
    compare(serial, mission, name = serial) {
        const r = this.get(serial);
        const draft = mission.waypoints.length
            ? `the editor's ${waypoints(mission.waypoints.length)}`
            : 'an empty editor';
        if (!r) return {state: 'unknown', text: `Not known yet which mission ${name} holds.`};
        const when = r.at ? ` at ${timeOfDay(r.at)}` : '';
        if (r.kind === 'none') return {state: 'none', text: `${name} holds no mission.`};
        if (r.kind === 'flyhere') {
            const where = r.target ? ` to ${point(r.target.lat, r.target.lng)}` : '';
            const over = r.replaced ? `; it replaced the uploaded ${waypoints(r.replaced)}` : '';
            return {
                state: 'flyhere',
                text: `${name} holds a ${r.what}${where}${r.by ? `, sent by ${r.by}${when}` : ''}${over}. Start flies that leg, not ${draft}.`,
            };
        }
        if (r.kind === 'foreign')
            return {
                state: 'foreign',
                text: `${name} holds ${waypoints(r.count)} that this browser did not upload. Start flies those, not ${draft}.`,
            };
        if (r.draft === draftKey(mission))
            return {
                state: 'same',
                text: `${name} holds this mission (${waypoints(r.count)}), uploaded by ${r.by}${when}.`,
            };
        return {
            state: 'differs',
            text: `${name} holds the ${waypoints(r.count)} uploaded by ${r.by}${when}; the editor has changed since (${draft}: ${r.mission ? differences(r.mission, mission) : 'changed'}). Start flies the uploaded one.`,
        };
    }

    save() {
        if (!this.storage) return;
        const newest = [...this.records.entries()].sort((a, b) => b[1].at - a[1].at).slice(0, MAX_RECORDS);
        this.records = new Map(newest);
        try {
            this.storage.setItem(KEY, JSON.stringify(Object.fromEntries(newest)));
        } catch (e) {
            // Storage full or refused: the records last until the page closes.
        }
    }

    restore() {
        if (!this.storage) return;
        try {
            const saved = JSON.parse(this.storage.getItem(KEY) || '{}');
            for (const [serial, r] of Object.entries(saved || {}))
                if (r && typeof r.kind === 'string' && Number.isFinite(r.at)) this.records.set(serial, r);
        } catch (e) {
            // Damaged records are dropped; the aircraft is asked again.
        }
    }
}
