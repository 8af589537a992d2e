// The height profile along the flight: height above home against the
// distance flown, the mission's own part drawn strong, the way there and
// back faint, waypoints as dots and the aircraft, in flight, as a marker.
const SVG = 'http://www.w3.org/2000/svg';
const W = 340;
const H = 90;
const PAD = {left: 30, right: 6, top: 8, bottom: 14};

function el(tag, attrs = {}, text = '') {
    const node = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, String(v));
    if (text) node.textContent = text;
    return node;
}

// A way there or back longer than the mission would squeeze the mission to
// a sliver: then the mission is drawn alone.
function focus(profile, at) {
    const points = profile ? profile.points : [];
    if (!points.length) return {points, from: 0, to: 0, mark: null};
    const {from, to} = profile;
    const end = points[points.length - 1].along;
    if (!(to > from && Math.max(from, end - to) > to - from)) return {points, from, to, mark: at};
    const kept = points.filter((p) => p.along >= from && p.along <= to).map((p) => ({...p, along: p.along - from}));
    return {points: kept, from: 0, to: to - from, mark: at != null ? at - from : null};
}

// profile: {points: [{along, alt, index}], from, to} (missionstats.js);
// at: distance flown so far, or null.
export function drawProfile(container, profile, at = null) {
    const {points: pts, mark} = focus(profile, at);
    if (pts.length < 2) {
        container.replaceChildren();
        return;
    }
    const length = Math.max(1, pts[pts.length - 1].along);
    const top = Math.max(10, ...pts.map((p) => p.alt));
    const x = (d) => PAD.left + (d / length) * (W - PAD.left - PAD.right);
    const y = (alt) => H - PAD.bottom - (Math.max(0, alt) / top) * (H - PAD.top - PAD.bottom);
    const line = (list) => list.map((p) => `${x(p.along).toFixed(1)},${y(p.alt).toFixed(1)}`).join(' ');
    const inMission = pts.filter((p) => p.index != null);
    const svg = el('svg', {viewBox: `0 0 ${W} ${H}`, class: 'profile-svg', role: 'img'});
    svg.append(
        el('title', {}, `Height above home along the flight: up to ${Math.round(top)} m over ${Math.round(length)} m`),
        el('line', {x1: PAD.left, x2: W - PAD.right, y1: y(0), y2: y(0), class: 'profile-ground'}),
        el(
            'text',
            {x: PAD.left - 4, y: y(top) + 4, class: 'profile-label', 'text-anchor': 'end'},
            `${Math.round(top)} m`,
        ),
        el('text', {x: PAD.left - 4, y: y(0), class: 'profile-label', 'text-anchor': 'end'}, '0'),
        el('polyline', {points: line(pts), class: 'profile-way'}),
        el('polyline', {points: line(inMission), class: 'profile-mission'}),
    );
    for (const p of pts.filter((q) => q.index != null))
        svg.append(el('circle', {cx: x(p.along), cy: y(p.alt), r: 2.5, class: 'profile-wp'}));
    if (mark != null && Number.isFinite(mark)) {
        const mx = x(Math.min(length, Math.max(0, mark)));
        svg.append(el('line', {x1: mx, x2: mx, y1: PAD.top, y2: y(0), class: 'profile-at'}));
    }
    container.replaceChildren(svg);
}
