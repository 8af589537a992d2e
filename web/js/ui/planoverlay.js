// A mission file's fences and rally points on the map: read-only, kept
// until another file replaces them or the user removes them, and handed to
// the checks. The aircraft itself is not given them.
import * as L from '/vendor/leaflet/dist/leaflet-src.esm.js';
import {$} from './dom.js';

const plural = (n, one) => `${n} ${one}${n === 1 ? '' : 's'}`;

export class PlanOverlay {
    // map: the Leaflet map; onChange: called when the overlay changes.
    constructor(map, onChange) {
        this.fences = [];
        this.rally = [];
        this.onChange = onChange;
        // Not interactive: clicks inside a fence still add waypoints.
        this.layer = L.layerGroup().addTo(map);
        $('plan-extras-clear').addEventListener('click', () => this.set('', [], []));
    }

    set(source, fences, rally) {
        this.fences = fences;
        this.rally = rally;
        this.layer.clearLayers();
        for (const f of fences) {
            const style = {
                color: f.inclusion ? '#1f8a4c' : '#c4352b',
                weight: 2,
                dashArray: '6 4',
                fill: !f.inclusion,
                fillOpacity: 0.1,
                interactive: false,
            };
            const shape = f.points
                ? L.polygon(
                      f.points.map((p) => [p.lat, p.lng]),
                      style,
                  )
                : L.circle([f.lat, f.lng], {...style, radius: f.radius});
            shape.addTo(this.layer);
        }
        for (const p of rally)
            L.circleMarker([p.lat, p.lng], {
                radius: 6,
                color: '#7b3fb5',
                weight: 2,
                fillOpacity: 0.3,
                interactive: false,
            }).addTo(this.layer);
        const shown = fences.length + rally.length > 0;
        $('plan-extras').hidden = !shown;
        $('plan-extras-text').textContent = shown
            ? `From ${source}: ${plural(fences.length, 'fence')} (green dashed: stay inside, red: keep out) and ${plural(rally.length, 'rally point')} (purple), shown read-only and checked against the mission.`
            : '';
        this.onChange();
    }
}
