// The figures an operator plans with: distance and time of the whole flight
// (from where the aircraft is, through the mission, and home or down again
// as the finish action says), the battery that takes against the battery
// at hand, the height profile, and progress while the mission runs.
import {distance} from '../geo/earth.js';
import {LIMITS, CLIMB_RATE, legFigures, speedTo, staySeconds} from './mission.js';

// How the aircraft ends a flight: it returns home at 20 m or higher, lands
// at 1.5 m/s, and gives up its mission at 10 % battery.
export const RETURN_HEIGHT = 20;
export const LANDING_RATE = 1.5;
export const RESERVE_PERCENT = 10;
const FULL_BATTERY_S = LIMITS.maxFlightMinutes * 60;

const sum = (parts) =>
    parts.reduce((t, p) => ({length: t.length + p.length, seconds: t.seconds + p.seconds}), {length: 0, seconds: 0});
const vertical = (metres, rate) => ({flat: 0, length: Math.abs(metres), seconds: Math.abs(metres) / rate});

// The legs of one pass (leg i leads to waypoint i, with its stays), the
// leg back from the last to the first waypoint, and the way home or down.
function route(mission, home) {
    const wps = mission.waypoints;
    const legs = wps.map((w, i) => {
        const leg = i ? legFigures(wps[i - 1], w, speedTo(mission, w)) : {flat: 0, length: 0, seconds: 0};
        return {...leg, seconds: leg.seconds + staySeconds(w)};
    });
    const last = wps[wps.length - 1];
    const closing = legFigures(last, wps[0], speedTo(mission, wps[0]));
    let back = {length: 0, seconds: 0, steps: []};
    if (mission.finishAction === 1 && home) {
        const height = Math.max(RETURN_HEIGHT, last.alt);
        const up = vertical(height - last.alt, CLIMB_RATE);
        const across = legFigures({...last, alt: height}, {...home, alt: height}, mission.idleSpeed);
        const down = vertical(height, LANDING_RATE);
        const steps = [
            {...last, alt: height},
            {...home, alt: height},
            {...home, alt: 0},
        ];
        back = {...sum([up, across, down]), steps};
    } else if (mission.finishAction === 2) {
        back = {...vertical(last.alt, LANDING_RATE), steps: [{...last, alt: 0}]};
    } else if (mission.finishAction === 3 || mission.finishAction === 4) {
        back = {length: closing.length, seconds: closing.seconds, steps: [wps[0]]};
    }
    return {legs, closing, back, homeUnknown: mission.finishAction === 1 && !home};
}

// From the aircraft to the first waypoint: straight there, or up (or down)
// first and then across, as the mission's "to the first waypoint" says.
function transitTo(mission, start, first) {
    const speed = speedTo(mission, first);
    if (mission.gotoFirst === 1) return {...legFigures(start, first, speed), steps: [first]};
    const level = {...start, alt: first.alt};
    const parts = [legFigures(start, level, speed), legFigures(level, first, speed)];
    return {...sum(parts), steps: [level, first]};
}

// context: {start: {lat, lng, alt} of the aircraft (alt above home) or null,
//           home: {lat, lng} or null, battery: {percent} or null}.
// Null for a mission without waypoints.
export function missionStats(mission, context = {}) {
    const wps = mission.waypoints;
    if (!wps.length) return null;
    const {start = null, home = null, battery = null} = context;
    const endless = mission.finishAction === 4;
    const runs = endless ? 1 : Math.max(1, mission.execCount || 0);
    const r = route(mission, home);
    const pass = sum(r.legs);
    const main = {
        length: pass.length * runs + r.closing.length * (runs - 1),
        seconds: pass.seconds * runs + r.closing.seconds * (runs - 1),
    };
    const transit = start ? transitTo(mission, start, wps[0]) : null;
    const total = sum([transit || {length: 0, seconds: 0}, main, r.back]);

    // The profile runs along the ground: start, waypoints, the way back.
    const points = [];
    let along = 0;
    let previous = null;
    const put = (p, index = null) => {
        if (previous) along += distance(previous, p);
        points.push({along, alt: p.alt, index});
        previous = p;
    };
    if (start) put(start);
    if (transit) transit.steps.slice(0, -1).forEach((p) => put(p));
    wps.forEach((w, i) => put(w, i));
    const from = points.find((p) => p.index === 0).along;
    const to = along;
    r.back.steps.forEach((p) => put(p));

    const needed = (total.seconds / FULL_BATTERY_S) * 100;
    const atHand = battery && Number.isFinite(battery.percent) ? battery.percent : null;
    const spare = atHand != null ? atHand - RESERVE_PERCENT - needed : null;

    return {
        transit: transit && {length: transit.length, seconds: transit.seconds},
        mission: main,
        back: {length: r.back.length, seconds: r.back.seconds},
        total,
        runs,
        endless,
        homeUnknown: r.homeUnknown,
        battery: {needed, atHand, spare, enough: spare == null ? null : spare >= 0},
        profile: {points, from, to},
    };
}

// While the aircraft flies to waypoint `index` from `position` (alt above
// home): what is left of this pass and of the way back, and how much of the
// pass and way back is done. Null when it is not flying this mission.
export function missionProgress(mission, position, index, home = null) {
    const wps = mission.waypoints;
    if (!position || !Number.isInteger(index) || index < 0 || index >= wps.length) return null;
    const r = route(mission, home);
    const target = wps[index];
    const first = legFigures(position, target, speedTo(mission, target));
    const rest = [
        {length: first.length, seconds: first.seconds + staySeconds(target)},
        ...r.legs.slice(index + 1),
        r.back,
    ];
    const left = sum(rest);
    const whole = sum([...r.legs, r.back]).length;
    const percent = whole > 0 ? Math.min(100, Math.max(0, 100 * (1 - left.length / whole))) : 0;
    return {percent, length: left.length, seconds: left.seconds};
}
