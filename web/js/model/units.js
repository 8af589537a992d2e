// How quantities read on the page: metres, seconds, m/s and coordinates.

export function clamp(value, low, high) {
    return Math.min(high, Math.max(low, value));
}

export function formatDistance(metres) {
    if (!Number.isFinite(metres)) return '–';
    if (Math.abs(metres) >= 10000) return `${(metres / 1000).toFixed(1)} km`;
    if (Math.abs(metres) >= 1000) return `${(metres / 1000).toFixed(2)} km`;
    return `${Math.round(metres)} m`;
}

export function formatDuration(seconds) {
    if (!Number.isFinite(seconds)) return '–';
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
    if (!Number.isFinite(lat) || !Number.isFinite(lng)) return '–';
    const ns = lat >= 0 ? 'N' : 'S';
    const ew = lng >= 0 ? 'E' : 'W';
    return `${Math.abs(lat).toFixed(6)}° ${ns}, ${Math.abs(lng).toFixed(6)}° ${ew}`;
}
