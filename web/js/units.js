// Units and small geodesy. Everything on the wire is radians; everything the
// user sees is degrees, metres and seconds.

export const EARTH_RADIUS_M = 6371008.8;

export function degToRad(deg) {
    return (deg * Math.PI) / 180;
}

export function radToDeg(rad) {
    return (rad * 180) / Math.PI;
}

export function clamp(value, low, high) {
    return Math.min(high, Math.max(low, value));
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

// Initial bearing from a to b in degrees, 0 = north, clockwise, 0..360.
export function bearing(a, b) {
    const la1 = degToRad(a.lat);
    const la2 = degToRad(b.lat);
    const dLng = degToRad(b.lng - a.lng);
    const y = Math.sin(dLng) * Math.cos(la2);
    const x = Math.cos(la1) * Math.sin(la2) - Math.sin(la1) * Math.cos(la2) * Math.cos(dLng);
    return (radToDeg(Math.atan2(y, x)) + 360) % 360;
}

// Point reached from p after `metres` along `bearingDeg`.
export function offset(p, bearingDeg, metres) {
    const d = metres / EARTH_RADIUS_M;
    const th = degToRad(bearingDeg);
    const la1 = degToRad(p.lat);
    const lo1 = degToRad(p.lng);
    const la2 = Math.asin(Math.sin(la1) * Math.cos(d) + Math.cos(la1) * Math.sin(d) * Math.cos(th));
    const lo2 = lo1 + Math.atan2(Math.sin(th) * Math.sin(d) * Math.cos(la1),
                                 Math.cos(d) - Math.sin(la1) * Math.sin(la2));
    return {lat: radToDeg(la2), lng: ((radToDeg(lo2) + 540) % 360) - 180};
}

export function formatDistance(metres) {
    if (!Number.isFinite(metres))
        return '–';
    if (Math.abs(metres) >= 10000)
        return `${(metres / 1000).toFixed(1)} km`;
    if (Math.abs(metres) >= 1000)
        return `${(metres / 1000).toFixed(2)} km`;
    return `${Math.round(metres)} m`;
}

export function formatDuration(seconds) {
    if (!Number.isFinite(seconds))
        return '–';
    const total = Math.round(seconds);
    const h = Math.floor(total / 3600);
    const m = Math.floor((total % 3600) / 60);
    const s = total % 60;
    const pad = (n) => String(n).padStart(2, '0');
    return h > 0 ? `${h}:${pad(m)}:${pad(s)}` : `${m}:${pad(s)}`;
}

export function formatSpeed(mps) {
    return Number.isFinite(mps) ? `${mps.toFixed(1)} m/s` : '–';
}

export function formatCoordinate(lat, lng) {
    if (!Number.isFinite(lat) || !Number.isFinite(lng))
        return '–';
    const ns = lat >= 0 ? 'N' : 'S';
    const ew = lng >= 0 ? 'E' : 'W';
    return `${Math.abs(lat).toFixed(6)}° ${ns}, ${Math.abs(lng).toFixed(6)}° ${ew}`;
}
