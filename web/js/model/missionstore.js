// The drafts being edited, one per aircraft (and one while none is chosen),
// each with the waypoint selection and its own undo history. Drafts and
// histories survive a reload of the page.
import {Emitter} from './emitter.js';
import {History} from './history.js';
import {createMission, createWaypoint, moveWaypoint, reserveId} from './mission.js';

const KEY = 'oru.drafts';
export const MAX_DRAFTS = 16;

const serial = (mission) => JSON.stringify(mission);

// Reads a stored mission leniently; waypoints keep their ids unless two share one.
export function readMission(saved) {
    if (!saved || typeof saved !== 'object' || !Array.isArray(saved.waypoints)) return null;
    const seen = new Set();
    const m = {...createMission(), ...saved};
    m.waypoints = saved.waypoints
        .filter((w) => w && Number.isFinite(w.lat) && Number.isFinite(w.lng))
        .map((w) => {
            const fresh = createWaypoint(w.lat, w.lng);
            const id = Number.isInteger(w.id) && w.id > 0 && !seen.has(w.id) ? w.id : fresh.id;
            seen.add(id);
            reserveId(id);
            return {...fresh, ...w, id, actions: Array.isArray(w.actions) ? w.actions : []};
        });
    return m;
}

export class MissionStore extends Emitter {
    constructor(storage = null) {
        super();
        this.storage = storage;
        this.drafts = new Map();
        this.key = '';
        this.selectedId = null;
        this.restore();
        if (!this.drafts.has(this.key)) this.drafts.set(this.key, {mission: createMission(), history: new History()});
        this.draft = this.drafts.get(this.key);
    }

    get mission() {
        return this.draft.mission;
    }

    get history() {
        return this.draft.history;
    }

    // Edits that came since a toast offered to undo its own make that offer void.
    version() {
        return `${this.key}#${this.draft.history.version}`;
    }

    // Makes key's draft the one being edited. A mission planned before any
    // aircraft was chosen goes to the first aircraft chosen that has none.
    use(key = '') {
        if (key === this.key) return;
        const from = this.draft;
        let draft = this.drafts.get(key);
        if (!draft || (!draft.mission.waypoints.length && !draft.history.past.length)) {
            if (this.key === '' && from.mission.waypoints.length) {
                draft = from;
                this.drafts.set('', {mission: createMission(), history: new History()});
            } else draft = draft || {mission: createMission(), history: new History()};
            this.drafts.set(key, draft);
        }
        this.key = key;
        this.draft = draft;
        this.selectedId = null;
        this.save();
        this.emit('changed', 'replaced');
        this.emit('selected', null);
    }

    index(id = this.selectedId) {
        return this.mission.waypoints.findIndex((w) => w.id === id);
    }

    selected() {
        return this.mission.waypoints.find((w) => w.id === this.selectedId) || null;
    }

    // kind: 'structure' when waypoints come, go or move; 'values' otherwise.
    changed(kind) {
        this.save();
        this.emit('changed', kind);
    }

    // Every edit goes through here, so every edit can be undone.
    edit(label, kind, change) {
        const before = serial(this.mission);
        change(this.mission);
        if (serial(this.mission) === before) return false;
        this.draft.history.record(before, label);
        this.changed(kind);
        return true;
    }

    select(id) {
        if (this.selectedId === id) return;
        this.selectedId = id;
        this.emit('selected', id);
    }

    add(lat, lng, at = this.mission.waypoints.length) {
        const list = this.mission.waypoints;
        const previous = list[Math.min(at, list.length) - 1] || list[list.length - 1] || null;
        const w = createWaypoint(lat, lng, previous);
        const label = at < list.length ? `insert waypoint ${at + 1}` : `add waypoint ${list.length + 1}`;
        this.edit(label, 'structure', (m) => m.waypoints.splice(at, 0, w));
        this.select(w.id);
        return w;
    }

    remove(id) {
        const i = this.index(id);
        if (i < 0) return;
        this.edit(`delete waypoint ${i + 1}`, 'structure', (m) => m.waypoints.splice(i, 1));
        if (this.selectedId === id) {
            const next = this.mission.waypoints[Math.min(i, this.mission.waypoints.length - 1)];
            this.selectedId = next ? next.id : null;
            this.emit('selected', this.selectedId);
        }
    }

    move(from, to) {
        const copy = {waypoints: [...this.mission.waypoints]};
        if (!moveWaypoint(copy, from, to)) return;
        this.edit(`move waypoint ${from + 1} to ${to + 1}`, 'structure', (m) => (m.waypoints = copy.waypoints));
    }

    updateWaypoint(id, patch, kind = 'values') {
        const i = this.index(id);
        if (i < 0) return;
        const what = 'lat' in patch ? 'move' : 'change';
        this.edit(`${what} waypoint ${i + 1}`, kind, (m) => (m.waypoints[i] = {...m.waypoints[i], ...patch}));
    }

    updateSettings(patch) {
        this.edit('change the mission settings', 'values', (m) => Object.assign(m, patch));
    }

    // Returns whether there was anything to lose (the caller offers an undo).
    replace(mission, label = 'replace the mission') {
        const had = this.mission.waypoints.length > 0;
        this.edit(label, 'replaced', () => (this.draft.mission = mission));
        this.selectedId = mission.waypoints.length ? mission.waypoints[0].id : null;
        this.emit('selected', this.selectedId);
        return had;
    }

    undo() {
        return this.travel(this.draft.history.undo(serial(this.mission)));
    }

    redo() {
        return this.travel(this.draft.history.redo(serial(this.mission)));
    }

    travel(text) {
        if (text == null) return false;
        let mission = null;
        try {
            mission = readMission(JSON.parse(text));
        } catch (e) {
            // A damaged step is skipped.
        }
        if (!mission) return false;
        this.draft.mission = mission;
        if (!this.selected()) this.selectedId = null;
        this.changed('replaced');
        this.emit('selected', this.selectedId);
        return true;
    }

    // The drafts of the aircraft used last are kept; when storage is full the
    // oldest histories go first, then the oldest drafts.
    save() {
        if (!this.storage) return;
        this.draft.used = Date.now();
        const order = [...this.drafts.entries()].sort((a, b) => (b[1].used || 0) - (a[1].used || 0));
        for (const [key] of order.slice(MAX_DRAFTS)) if (key !== this.key) this.drafts.delete(key);
        const entries = order.slice(0, MAX_DRAFTS);
        for (let keep = entries.length; keep >= 0; --keep) {
            const drafts = Object.fromEntries(
                entries.map(([key, d], i) => [
                    key,
                    {mission: d.mission, used: d.used || 0, history: i < keep ? d.history : null},
                ]),
            );
            try {
                this.storage.setItem(KEY, JSON.stringify({active: this.key, drafts}));
                return;
            } catch (e) {
                // Storage full or refused: try again with fewer histories.
            }
        }
    }

    restore() {
        if (!this.storage) return;
        try {
            const saved = JSON.parse(this.storage.getItem(KEY) || 'null');
            const drafts = saved && typeof saved.drafts === 'object' ? saved.drafts : {};
            for (const [key, d] of Object.entries(drafts || {})) {
                const mission = readMission(d && d.mission);
                if (mission)
                    this.drafts.set(key, {mission, history: History.from(d.history), used: Number(d.used) || 0});
            }
            // The single draft of earlier versions of the page.
            const old = readMission(JSON.parse(this.storage.getItem('oru.draft') || 'null'));
            if (old && !this.drafts.has('')) this.drafts.set('', {mission: old, history: new History()});
            for (const d of this.drafts.values())
                for (const step of [...d.history.past, ...d.history.future])
                    for (const m of step.text.matchAll(/"id":(\d+)/g)) reserveId(Number(m[1]));
            if (saved && typeof saved.active === 'string' && this.drafts.has(saved.active)) this.key = saved.active;
        } catch (e) {
            // Damaged drafts are dropped.
        }
    }
}
