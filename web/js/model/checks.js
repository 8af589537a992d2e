// Checks a mission against the aircraft's limits and the no-fly zones before
// it is uploaded. Every finding is a sentence the user can act on.
import {LIMITS, estimate} from './mission.js';
import {zoneConflicts} from '../geo/path.js';
import {distance} from '../geo/earth.js';
import {formatDistance, formatDuration} from './units.js';

const list = (indices) => indices.map((i) => i + 1).join(', ');

// context: {zones: [{lat, lng, radius, name}] | null when unknown,
//           zoneError: text, flyLimit: {maxHeight, maxDistance} | null,
//           home: {lat, lng} | null}
export function checkMission(mission, context = {}) {
    const found = [];
    const add = (level, code, text, waypoints = []) => found.push({level, code, text, waypoints});
    const wps = mission.waypoints;

    if (wps.length < 2) add('error', 'too-few', `A mission needs at least 2 waypoints; it has ${wps.length}.`);
    if (wps.length > LIMITS.maxPoints)
        add(
            'error',
            'too-many',
            `The mission has ${wps.length} waypoints; an aircraft takes at most ${LIMITS.maxPoints}.`,
        );

    if (!(mission.idleSpeed > 0)) add('error', 'idle-speed', 'The cruise speed must be above 0 m/s.');
    if (mission.idleSpeed > LIMITS.maxSpeed)
        add(
            'error',
            'speed',
            `The cruise speed of ${mission.idleSpeed} m/s is above the limit of ${LIMITS.maxSpeed} m/s.`,
        );
    if (mission.maxSpeed > LIMITS.maxSpeed)
        add('error', 'speed', `The top speed of ${mission.maxSpeed} m/s is above the limit of ${LIMITS.maxSpeed} m/s.`);
    if (mission.idleSpeed > mission.maxSpeed)
        add(
            'error',
            'speed-range',
            `The cruise speed (${mission.idleSpeed} m/s) is above the top speed (${mission.maxSpeed} m/s).`,
        );
    const fast = wps.map((w, i) => (w.speed != null && w.speed > LIMITS.maxSpeed ? i : -1)).filter((i) => i >= 0);
    if (fast.length)
        add('error', 'speed', `Waypoint ${list(fast)}: speed above the limit of ${LIMITS.maxSpeed} m/s.`, fast);
    const beyondRange = wps
        .map((w, i) => (w.speed != null && w.speed <= LIMITS.maxSpeed && w.speed > mission.maxSpeed ? i : -1))
        .filter((i) => i >= 0);
    if (beyondRange.length)
        add(
            'error',
            'speed-range',
            `Waypoint ${list(beyondRange)}: speed above the mission's top speed of ${mission.maxSpeed} m/s.`,
            beyondRange,
        );

    const {seconds} = estimate(mission);
    if (seconds > LIMITS.maxFlightMinutes * 60) {
        add(
            'error',
            'flight-time',
            `The estimated flight time of ${formatDuration(seconds)} is above the limit of ${LIMITS.maxFlightMinutes} minutes.`,
        );
    }

    const busy = wps.map((w, i) => (w.actions.length > LIMITS.maxActions ? i : -1)).filter((i) => i >= 0);
    if (busy.length) add('error', 'actions', `Waypoint ${list(busy)}: more than ${LIMITS.maxActions} actions.`, busy);

    const low = wps.map((w, i) => (w.alt < LIMITS.minHeight ? i : -1)).filter((i) => i >= 0);
    if (low.length) add('error', 'height', `Waypoint ${list(low)}: lower than ${LIMITS.minHeight} m above home.`, low);

    const limit = context.flyLimit;
    if (limit && limit.maxHeight > 0) {
        const high = wps.map((w, i) => (w.alt > limit.maxHeight ? i : -1)).filter((i) => i >= 0);
        if (high.length)
            add(
                'error',
                'max-height',
                `Waypoint ${list(high)}: above the aircraft's height limit of ${limit.maxHeight} m.`,
                high,
            );
    }
    if (limit && limit.maxDistance > 0 && context.home) {
        const far = wps.map((w, i) => (distance(w, context.home) > limit.maxDistance ? i : -1)).filter((i) => i >= 0);
        if (far.length) {
            add(
                'error',
                'max-distance',
                `Waypoint ${list(far)}: farther from home than the aircraft's limit of ${formatDistance(limit.maxDistance)}.`,
                far,
            );
        }
    }

    if (context.zones == null) {
        if (wps.length)
            add(
                'warning',
                'zones-unknown',
                `No-fly zones could not be checked${context.zoneError ? `: ${context.zoneError}` : '.'}`,
            );
    } else {
        for (const c of zoneConflicts(wps, context.zones)) {
            const name = c.zone.name || 'unnamed zone';
            const parts = [];
            if (c.inside.length) parts.push(`waypoint ${list(c.inside)} inside`);
            const legsOnly = c.legs.filter((i) => !c.inside.includes(i) && !c.inside.includes(i + 1));
            if (legsOnly.length) parts.push(`leg ${legsOnly.map((i) => `${i + 1}→${i + 2}`).join(', ')} crossing`);
            add(
                'error',
                'zone',
                `No-fly zone "${name}" (radius ${formatDistance(c.zone.radius)}): ${parts.join('; ')}.`,
                c.inside,
            );
        }
    }
    return found;
}
