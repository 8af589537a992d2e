// The path each aircraft flew: the whole flight at a resolution that drops as
// it grows, kept in the tab's session storage across reloads. Bounded in
// points per aircraft and in aircraft kept.
import {distance} from '../geo/earth.js';

export const TRAIL_POINTS = 2000;
export const TRAIL_AIRCRAFT = 16;
const KEY = 'oru.trails';
const STEP_M = 1;

// Appends p unless it is within a metre of the last point; when full, every
// other point goes, so the trail keeps its start and its shape.
export function extendTrail(trail, p, limit = TRAIL_POINTS) {
    const last = trail[trail.length - 1];
    if (last && distance(last, p) < STEP_M) return trail;
    trail.push(p);
    if (trail.length > limit) {
        const thinned = trail.filter((_, i) => i % 2 === 0 || i === trail.length - 1);
        trail.splice(0, trail.length, ...thinned);
    }
    return trail;
}

export function saveTrails(fleet, storage) {
    const recent = fleet
        .list()
        .filter((a) => a.trail.length)
        .sort((a, b) => b.telemetryAt - a.telemetryAt)
        .slice(0, TRAIL_AIRCRAFT);
    const kept = Object.fromEntries(
        recent.map((a) => [a.serial, a.trail.map((p) => [Number(p.lat.toFixed(6)), Number(p.lng.toFixed(6))])]),
    );
    try {
        storage.setItem(KEY, JSON.stringify(kept));
    } catch (e) {
        // Storage full or refused: the trails start anew after a reload.
    }
}

// Trails come back as their aircraft are listed again.
export function loadTrails(fleet, storage) {
    let saved = {};
    try {
        saved = JSON.parse(storage.getItem(KEY) || '{}') || {};
    } catch (e) {
        return;
    }
    const restore = (a) => {
        const points = saved[a.serial];
        if (!Array.isArray(points) || a.trail.length) return;
        a.trail = points
            .filter((p) => Array.isArray(p) && Number.isFinite(p[0]) && Number.isFinite(p[1]))
            .slice(-TRAIL_POINTS)
            .map(([lat, lng]) => ({lat, lng}));
    };
    for (const a of fleet.list()) restore(a);
    fleet.on('added', restore);
}
