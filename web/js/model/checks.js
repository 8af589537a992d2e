// Checks a mission against the aircraft's limits and the no-fly zones before
// it is uploaded. Every finding is a sentence the user can act on.
import {LIMITS, estimate} from './mission.js';
import {zoneConflicts} from '../geo/path.js';
import {fenceConflicts, insideFence} from '../geo/fences.js';
import {distance} from '../geo/earth.js';
import {formatDistance, formatDuration} from './units.js';
import {missionStats, RESERVE_PERCENT} from './missionstats.js';

const list = (indices) => indices.map((i) => i + 1).join(', ');

// context: {zones: [{lat, lng, radius, name}] | null when unknown,
//           zoneError: text, flyLimit: {maxHeight, maxDistance} | null,
//           home: {lat, lng} | null,
//           fences, rally: a mission file's fences and rally points (planfile.js),
//           start: {lat, lng, alt} of the aircraft | null, battery: {percent} | null}
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
    const energy = wps.length && context.battery ? missionStats(mission, context).battery : null;
    if (energy && energy.enough === false)
        add(
            'warning',
            'battery',
            `The flight takes about ${Math.ceil(energy.needed)} % of the battery, from where the aircraft is to the end; it has ${Math.round(energy.atHand)} % and gives up its mission at ${RESERVE_PERCENT} %.`,
        );
    checkPlanExtras(wps, context, add);
    return found;
}

// The aircraft knows nothing of a file's fences and rally points, so the
// page holds the path to the fences and says which rally points are out of
// reach.
function checkPlanExtras(wps, context, add) {
    const fences = context.fences || [];
    for (const c of fenceConflicts(wps, fences)) {
        const f = c.fence;
        const kind = f.inclusion ? 'keep-in' : 'keep-out';
        const shape = f.points ? 'area' : `circle of ${formatDistance(f.radius)}`;
        const parts = [];
        if (c.wrong.length) parts.push(`waypoint ${list(c.wrong)} ${f.inclusion ? 'outside' : 'inside'}`);
        if (c.legs.length) parts.push(`leg ${c.legs.map((i) => `${i + 1}→${i + 2}`).join(', ')} crossing its edge`);
        add('error', 'fence', `Fence ${c.index + 1} of the file (${kind} ${shape}): ${parts.join('; ')}.`, c.wrong);
    }
    const limit = context.flyLimit;
    const unreachable = (context.rally || [])
        .map((p, i) => {
            const far = limit && limit.maxDistance > 0 && context.home && distance(p, context.home) > limit.maxDistance;
            const barred =
                (context.zones || []).some((z) => distance(p, z) < z.radius) ||
                fences.some((f) => insideFence(f, p) !== f.inclusion);
            return far || barred ? i : -1;
        })
        .filter((i) => i >= 0);
    if (unreachable.length)
        add(
            'warning',
            'rally',
            `Rally point ${list(unreachable)} of the file: beyond the distance limit, in a no-fly zone or on the wrong side of a fence.`,
        );
}
