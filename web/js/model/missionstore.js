// The mission being edited, with the waypoint selection and one step of
// undo for whole-mission replacements (load, import, clear).
import {Emitter} from './emitter.js';
import {createMission, createWaypoint, cloneMission, moveWaypoint} from './mission.js';

export class MissionStore extends Emitter {
    constructor(storage = null) {
        super();
        this.storage = storage;
        this.mission = createMission();
        this.selectedId = null;
        this.undoMission = null;
        this.restore();
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

    select(id) {
        if (this.selectedId === id) return;
        this.selectedId = id;
        this.emit('selected', id);
    }

    add(lat, lng, at = this.mission.waypoints.length) {
        const list = this.mission.waypoints;
        const previous = list[Math.min(at, list.length) - 1] || list[list.length - 1] || null;
        const w = createWaypoint(lat, lng, previous);
        list.splice(at, 0, w);
        this.changed('structure');
        this.select(w.id);
        return w;
    }

    remove(id) {
        const i = this.index(id);
        if (i < 0) return;
        this.mission.waypoints.splice(i, 1);
        if (this.selectedId === id) {
            const next = this.mission.waypoints[Math.min(i, this.mission.waypoints.length - 1)];
            this.selectedId = next ? next.id : null;
            this.emit('selected', this.selectedId);
        }
        this.changed('structure');
    }

    move(from, to) {
        if (moveWaypoint(this.mission, from, to)) this.changed('structure');
    }

    updateWaypoint(id, patch, kind = 'values') {
        const w = this.mission.waypoints.find((x) => x.id === id);
        if (!w) return;
        Object.assign(w, patch);
        this.changed(kind);
    }

    updateSettings(patch) {
        Object.assign(this.mission, patch);
        this.changed('values');
    }

    replace(mission) {
        this.undoMission = this.mission.waypoints.length ? cloneMission(this.mission) : null;
        this.mission = mission;
        this.selectedId = mission.waypoints.length ? mission.waypoints[0].id : null;
        this.changed('replaced');
        this.emit('selected', this.selectedId);
        return this.undoMission != null;
    }

    undo() {
        if (!this.undoMission) return;
        const previous = this.undoMission;
        this.undoMission = null;
        this.mission = previous;
        this.selectedId = null;
        this.changed('replaced');
        this.emit('selected', null);
    }

    // The draft survives a reload of the page.
    save() {
        if (!this.storage) return;
        try {
            this.storage.setItem('oru.draft', JSON.stringify(this.mission));
        } catch (e) {
            // Storage full or refused: the draft just isn't kept.
        }
    }

    restore() {
        if (!this.storage) return;
        try {
            const saved = JSON.parse(this.storage.getItem('oru.draft') || 'null');
            if (!saved || !Array.isArray(saved.waypoints)) return;
            const m = {...createMission(), ...saved};
            m.waypoints = saved.waypoints
                .filter((w) => w && Number.isFinite(w.lat) && Number.isFinite(w.lng))
                .map((w) => {
                    const fresh = createWaypoint(w.lat, w.lng);
                    return {...fresh, ...w, id: fresh.id, actions: Array.isArray(w.actions) ? w.actions : []};
                });
            this.mission = m;
        } catch (e) {
            // A damaged draft is dropped.
        }
    }
}
