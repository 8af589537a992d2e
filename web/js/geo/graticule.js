// Grid lines for the offline map, spaced so that a handful cross the view at
// any zoom; at mission scale they are the only reference besides the scale.
const STEPS = [30, 10, 5, 2, 1, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001, 0.0005, 0.0002, 0.0001];

export function graticuleStep(spanDegrees, wanted = 6) {
    for (const step of STEPS) {
        if (spanDegrees / step >= wanted) return step;
    }
    return STEPS[STEPS.length - 1];
}

function decimals(step) {
    const text = String(step);
    const dot = text.indexOf('.');
    return dot < 0 ? 0 : text.length - dot - 1;
}

export function formatDegrees(value, step, positive, negative) {
    const d = decimals(step);
    const rounded = Number(value.toFixed(d));
    const hemi = rounded === 0 ? '' : rounded > 0 ? positive : negative;
    return `${Math.abs(rounded).toFixed(d)}°${hemi}`;
}

// bounds in degrees; returns {step, lines: [{kind, value, label, coords}]}.
export function graticuleLines({south, west, north, east}) {
    const s = Math.max(-85, south);
    const n = Math.min(85, north);
    const w = Math.max(-180, west);
    const e = Math.min(180, east);
    const step = graticuleStep(Math.max(n - s, (e - w) * 0.7));
    const lines = [];
    const first = (low, st) => Math.ceil(low / st - 1e-9) * st;
    for (let lat = first(s, step); lat <= n + 1e-9 && lines.length < 200; lat += step) {
        const v = Number(lat.toFixed(8));
        lines.push({
            kind: 'lat',
            value: v,
            label: formatDegrees(v, step, 'N', 'S'),
            coords: [
                [v, w],
                [v, e],
            ],
        });
    }
    for (let lng = first(w, step); lng <= e + 1e-9 && lines.length < 400; lng += step) {
        const v = Number(lng.toFixed(8));
        lines.push({
            kind: 'lng',
            value: v,
            label: formatDegrees(v, step, 'E', 'W'),
            coords: [
                [s, v],
                [n, v],
            ],
        });
    }
    return {step, lines};
}
