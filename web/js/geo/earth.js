// Angles and distances on the sphere. Everything on the wire is radians;
// everything the user sees is degrees and metres.

export const EARTH_RADIUS_M = 6371008.8;

export function degToRad(deg) {
    return (deg * Math.PI) / 180;
}

export function radToDeg(rad) {
    return (rad * 180) / Math.PI;
}

// Any angle in degrees into -180..180 (180 itself becomes -180): longitudes
// past the antimeridian and headings from files that count 0..360.
export function wrapDegrees(deg) {
    return ((((deg + 180) % 360) + 360) % 360) - 180;
}

// Great-circle distance in metres between two points given in degrees.
export function distance(a, b) {
    const la1 = degToRad(a.lat);
    const la2 = degToRad(b.lat);
    const dLat = la2 - la1;
    const dLng = degToRad(b.lng - a.lng);
    const h = Math.sin(dLat / 2) ** 2 + Math.cos(la1) * Math.cos(la2) * Math.sin(dLng / 2) ** 2;
    return 2 * EARTH_RADIUS_M * Math.atan2(Math.sqrt(h), Math.sqrt(Math.max(0, 1 - h)));
}

// Point reached from p after `metres` along `bearingDeg`.
export function offset(p, bearingDeg, metres) {
    const d = metres / EARTH_RADIUS_M;
    const th = degToRad(bearingDeg);
    const la1 = degToRad(p.lat);
    const lo1 = degToRad(p.lng);
    const la2 = Math.asin(Math.sin(la1) * Math.cos(d) + Math.cos(la1) * Math.sin(d) * Math.cos(th));
    const lo2 =
        lo1 + Math.atan2(Math.sin(th) * Math.sin(d) * Math.cos(la1), Math.cos(d) - Math.sin(la1) * Math.sin(la2));
    return {lat: radToDeg(la2), lng: wrapDegrees(radToDeg(lo2))};
}
