// No-fly zones as the service reports them (radians) turned into circles in
// degrees, gathered across queries.
import {radToDeg} from './earth.js';

export function zonesFromWire(list) {
    const out = [];
    for (const z of Array.isArray(list) ? list : []) {
        if (!z || typeof z !== 'object' || !Number.isFinite(z.LATI) || !Number.isFinite(z.LONTI)) continue;
        out.push({
            lat: radToDeg(z.LATI),
            lng: radToDeg(z.LONTI),
            radius: Number.isFinite(z.RADIUS) ? z.RADIUS : 0,
            name: typeof z.NAME === 'string' ? z.NAME : '',
        });
    }
    return out;
}

export const zoneKey = (z) => `${z.name}|${z.lat.toFixed(6)}|${z.lng.toFixed(6)}|${z.radius}`;

export class ZoneStore {
    constructor() {
        this.zones = new Map();
    }

    // Returns the zones that were not known before.
    add(zones) {
        const fresh = [];
        for (const z of zones) {
            const key = zoneKey(z);
            if (!this.zones.has(key)) {
                this.zones.set(key, z);
                fresh.push(z);
            }
        }
        return fresh;
    }

    all() {
        return [...this.zones.values()];
    }
}

// What the map says about the zone database, from "GetNoflyZoneState": an
// empty map must not pass for an empty sky when the file failed to load.
export function zoneStateText(state) {
    if (state?.STATE === 'loaded') return `no-fly database: ${state.COUNT} zones`;
    if (state?.STATE === 'failed') return `failed to load: ${state.REASON}`;
    return 'no-fly database: loading';
}
