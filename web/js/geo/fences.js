// Fences from mission files: polygons and circles the path must stay in
// (inclusion) or out of (exclusion). The aircraft does not know them; the
// page checks the path against them.
import {EARTH_RADIUS_M, degToRad, distance} from './earth.js';
import {legDistance} from './path.js';

// Flat metres around origin; fences span kilometres at most.
function project(origin, p) {
    return {
        x: degToRad(p.lng - origin.lng) * Math.cos(degToRad(origin.lat)) * EARTH_RADIUS_M,
        y: degToRad(p.lat - origin.lat) * EARTH_RADIUS_M,
    };
}

export function pointInPolygon(p, polygon) {
    const o = polygon[0];
    const q = project(o, p);
    const ring = polygon.map((v) => project(o, v));
    let within = false;
    for (let i = 0, j = ring.length - 1; i < ring.length; j = i++) {
        const a = ring[i];
        const b = ring[j];
        if (a.y > q.y !== b.y > q.y && q.x < ((b.x - a.x) * (q.y - a.y)) / (b.y - a.y) + a.x) within = !within;
    }
    return within;
}

function segmentsCross(p1, p2, p3, p4) {
    const d = (a, b, c) => (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    const d1 = d(p3, p4, p1);
    const d2 = d(p3, p4, p2);
    const d3 = d(p1, p2, p3);
    const d4 = d(p1, p2, p4);
    return d1 * d2 < 0 && d3 * d4 < 0;
}

function legCrossesPolygon(a, b, polygon) {
    const o = polygon[0];
    const pa = project(o, a);
    const pb = project(o, b);
    const ring = polygon.map((v) => project(o, v));
    return ring.some((v, i) => segmentsCross(pa, pb, v, ring[(i + 1) % ring.length]));
}

export function insideFence(fence, p) {
    return fence.points ? pointInPolygon(p, fence.points) : distance(p, fence) < fence.radius;
}

// Whether the leg a→b leaves the fence's area (inclusion) or touches it
// (exclusion); a leg between two points inside a circle stays inside it.
function legConflicts(fence, a, b) {
    if (fence.points) return legCrossesPolygon(a, b, fence.points);
    if (fence.inclusion) return false;
    return legDistance(a, b, fence) < fence.radius;
}

// fences: [{inclusion, points: [{lat, lng}]} | {inclusion, lat, lng, radius}].
// For each fence the path breaks: the waypoints on the wrong side and the
// legs (by the index of their first waypoint) that cross its edge.
export function fenceConflicts(points, fences) {
    const found = [];
    fences.forEach((fence, index) => {
        const wrong = [];
        points.forEach((p, i) => {
            if (insideFence(fence, p) !== fence.inclusion) wrong.push(i);
        });
        const legs = [];
        for (let i = 0; i + 1 < points.length; ++i) {
            if (wrong.includes(i) || wrong.includes(i + 1)) continue;
            if (legConflicts(fence, points[i], points[i + 1])) legs.push(i);
        }
        if (wrong.length || legs.length) found.push({fence, index, wrong, legs});
    });
    return found;
}
