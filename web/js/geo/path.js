// Path geometry: which no-fly circles a path enters, and samples along it.
import {EARTH_RADIUS_M, degToRad, distance} from './earth.js';

// Projects p onto a plane tangent at origin, in metres (x east, y north).
// Zones and legs are at most tens of kilometres long, where the flat
// approximation is off by far less than a zone's margin.
function project(origin, p) {
    const x = degToRad(p.lng - origin.lng) * Math.cos(degToRad(origin.lat)) * EARTH_RADIUS_M;
    const y = degToRad(p.lat - origin.lat) * EARTH_RADIUS_M;
    return {x, y};
}

// Shortest distance in metres from centre to the leg a→b.
export function legDistance(a, b, centre) {
    const pa = project(centre, a);
    const pb = project(centre, b);
    const dx = pb.x - pa.x;
    const dy = pb.y - pa.y;
    const len2 = dx * dx + dy * dy;
    let t = len2 > 0 ? -(pa.x * dx + pa.y * dy) / len2 : 0;
    t = Math.min(1, Math.max(0, t));
    return Math.hypot(pa.x + t * dx, pa.y + t * dy);
}

export function legEntersCircle(a, b, centre, radius) {
    return legDistance(a, b, centre) < radius;
}

export function pointInCircle(p, centre, radius) {
    return distance(p, centre) < radius;
}

// For every zone the path touches: which waypoints lie inside it and which
// legs (by the index of their first waypoint) cross it.
export function zoneConflicts(points, zones) {
    const conflicts = [];
    for (const zone of zones) {
        const centre = {lat: zone.lat, lng: zone.lng};
        const inside = [];
        const legs = [];
        points.forEach((p, i) => {
            if (pointInCircle(p, centre, zone.radius)) inside.push(i);
        });
        for (let i = 0; i + 1 < points.length; ++i) {
            if (legEntersCircle(points[i], points[i + 1], centre, zone.radius)) legs.push(i);
        }
        if (inside.length || legs.length) conflicts.push({zone, inside, legs});
    }
    return conflicts;
}

// Points at most `spacing` metres apart that cover the whole path, for
// asking the service about zones near every part of it.
export function samplePath(points, spacing) {
    if (!points.length) return [];
    const half = spacing / 2;
    const kept = [points[0]];
    for (let i = 0; i + 1 < points.length; ++i) {
        const a = points[i];
        const b = points[i + 1];
        // Steps of at most half the spacing, thinned to half the spacing,
        // leave no gap of a whole spacing between kept points.
        const steps = Math.max(1, Math.ceil(distance(a, b) / half));
        for (let k = 1; k <= steps; ++k) {
            const p = {lat: a.lat + ((b.lat - a.lat) * k) / steps, lng: a.lng + ((b.lng - a.lng) * k) / steps};
            if (distance(kept[kept.length - 1], p) >= half) kept.push(p);
        }
    }
    return kept;
}
