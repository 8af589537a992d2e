// The mission as the editor holds it (degrees, metres, m/s, seconds) and its
// wire form (radians, the aircraft's codes and key names).
import {degToRad, radToDeg, distance} from '../geo/earth.js';
import {clamp} from './units.js';

export const LIMITS = Object.freeze({maxPoints: 50, maxSpeed: 20, maxFlightMinutes: 28, maxActions: 15, minHeight: 2});

export const ACTION_TYPES = Object.freeze([
    {type: 'WP_ACTION_STAY', label: 'Hover', param: {label: 'Duration', unit: 's', min: 0, max: 32, step: 1, value: 2}},
    {type: 'WP_ACTION_SIMPLE_SHOT', label: 'Take photo', param: null},
    {type: 'WP_ACTION_VIDEO_START', label: 'Start video', param: null},
    {type: 'WP_ACTION_VIDEO_STOP', label: 'Stop video', param: null},
    {
        type: 'WP_ACTION_CRAFT_YAW',
        label: 'Turn aircraft',
        param: {label: 'Heading', unit: '°', min: -180, max: 180, step: 1, value: 0},
    },
    {
        type: 'WP_ACTION_GIMBAL_PITCH',
        label: 'Tilt gimbal',
        param: {label: 'Pitch', unit: '°', min: -90, max: 30, step: 1, value: -90},
    },
]);

export function actionInfo(type) {
    return ACTION_TYPES.find((a) => a.type === type) || null;
}

// Codes the aircraft interprets; the labels are what the user picks from.
export const CHOICES = Object.freeze({
    finishAction: [
        [0, 'Hover at the last waypoint'],
        [1, 'Return home'],
        [2, 'Land at the last waypoint'],
        [3, 'Fly back to the first waypoint'],
        [4, 'Repeat until stopped'],
    ],
    rcLostAction: [
        [0, 'Abort the mission and return home'],
        [1, 'Continue the mission'],
    ],
    yawMode: [
        [0, 'Face the next waypoint'],
        [1, 'Keep the initial heading'],
        [2, 'Pilot controls the heading'],
        [3, 'Per-waypoint yaw'],
    ],
    traceMode: [
        [0, 'Stop at every waypoint'],
        [1, 'Round the corners (damping distance)'],
    ],
    gimbalPitchMode: [
        [0, 'Free'],
        [1, 'Per-waypoint gimbal pitch, interpolated'],
    ],
    gotoFirst: [
        [0, 'Climb first, then fly'],
        [1, 'Fly straight there'],
    ],
    turnMode: [
        [0, 'Clockwise'],
        [1, 'Counter-clockwise'],
    ],
});

let nextId = 1;

// Waypoints read back from storage keep their ids; new ones must not reuse them.
export function reserveId(id) {
    if (Number.isInteger(id) && id >= nextId) nextId = id + 1;
}

export function createMission() {
    return {
        idleSpeed: 5,
        maxSpeed: 10,
        finishAction: 0,
        rcLostAction: 0,
        yawMode: 0,
        traceMode: 0,
        gimbalPitchMode: 0,
        gotoFirst: 0,
        execCount: 1,
        waypoints: [],
    };
}

// A new waypoint takes its height and speed from the one before, as the
// user usually means the path to continue the way it went.
export function createWaypoint(lat, lng, previous = null) {
    return {
        id: nextId++,
        lat,
        lng,
        alt: previous ? previous.alt : 30,
        speed: previous ? previous.speed : null,
        damping: 0.2,
        turnMode: 0,
        yaw: 0,
        gimbalPitch: 0,
        actionRepeat: 1,
        actionTimeLimit: 100,
        actions: [],
    };
}

export function cloneMission(mission) {
    return {...mission, waypoints: mission.waypoints.map((w) => ({...w, actions: w.actions.map((a) => ({...a}))}))};
}

export function moveWaypoint(mission, from, to) {
    const list = mission.waypoints;
    if (from < 0 || from >= list.length || to < 0 || to >= list.length || from === to) return false;
    const [item] = list.splice(from, 1);
    list.splice(to, 0, item);
    return true;
}

// The aircraft's climb and descent rates, m/s.
export const CLIMB_RATE = 5;
export const DESCENT_RATE = 3;

// A leg is flown at the speed of the waypoint it leads to, else at the
// cruise speed.
export function speedTo(mission, waypoint) {
    return waypoint.speed != null ? waypoint.speed : mission.idleSpeed;
}

// One leg a→b (alt in metres): its length and time. The aircraft climbs or
// descends on the way; whichever takes longer sets the time.
export function legFigures(a, b, speed) {
    const flat = distance(a, b);
    const rise = (b.alt ?? 0) - (a.alt ?? 0);
    const vertical = Math.abs(rise) / (rise > 0 ? CLIMB_RATE : DESCENT_RATE);
    return {flat, length: Math.hypot(flat, rise), seconds: Math.max(speed > 0 ? flat / speed : Infinity, vertical)};
}

export function staySeconds(waypoint) {
    const repeat = Math.max(1, waypoint.actionRepeat || 0);
    const once = waypoint.actions.reduce((sum, a) => sum + (a.type === 'WP_ACTION_STAY' ? Math.max(0, a.param) : 0), 0);
    return once * repeat;
}

// Length in metres (horizontal and climb) and estimated flight time in
// seconds of one pass through the waypoints, times the execution count.
export function estimate(mission) {
    const wps = mission.waypoints;
    let length = 0;
    let seconds = 0;
    for (let i = 0; i + 1 < wps.length; ++i) {
        const leg = legFigures(wps[i], wps[i + 1], speedTo(mission, wps[i + 1]));
        length += leg.length;
        seconds += leg.seconds;
    }
    for (const w of wps) seconds += staySeconds(w);
    const runs = Math.max(1, mission.execCount || 0);
    return {length: length * runs, seconds: seconds * runs, runs};
}

const int = (v, low, high) => clamp(Math.round(Number(v) || 0), low, high);
const num = (v) => (Number.isFinite(Number(v)) ? Number(v) : 0);

export function waypointToWire(w, index) {
    const out = {
        INDEX: index,
        LATI: degToRad(w.lat),
        LONTI: degToRad(w.lng),
        ALTI: num(w.alt),
        DAMPING_DIS: num(w.damping),
        TGT_YAW: int(w.yaw, -180, 180),
        TGT_GIMBAL_PITCH: int(w.gimbalPitch, -90, 90),
        TURN_MODE: int(w.turnMode, 0, 255),
        HAS_SPEED: w.speed != null ? 1 : 0,
        HAS_ACTION: w.actions.length ? 1 : 0,
        ACTION_TIME_LIMIT: int(w.actionTimeLimit, 0, 65535),
    };
    if (w.speed != null) out.SPEED = Math.round(num(w.speed) * 100) / 100;
    if (w.actions.length) {
        const actions = w.actions.slice(0, LIMITS.maxActions);
        out.ACTION = {
            ACTION_NUM: actions.length,
            ACTION_RPT: int(w.actionRepeat, 0, 15),
            // Parameters travel as decimal text of a 16-bit whole number.
            COMMAND_LIST: actions.map((a) => ({ACTION_TYPE: a.type, PARAM_VALUE: String(int(a.param, -32768, 32767))})),
        };
    }
    return out;
}

// home: {lat, lng, alt} in degrees and metres, or null when unknown.
export function missionToWire(mission, home = null) {
    return {
        LENGTH: mission.waypoints.length,
        VEL_CMD_RANGE: num(mission.maxSpeed),
        IDLE_VEL: num(mission.idleSpeed),
        ACTION_ON_FINISH: int(mission.finishAction, 0, 255),
        MISSION_EXEC_NUM: int(mission.execCount, 0, 255),
        YAW_MODE: int(mission.yawMode, 0, 255),
        TRACE_MODE: int(mission.traceMode, 0, 255),
        ACTION_ON_RC_LOST: int(mission.rcLostAction, 0, 255),
        GIMBAL_PITCH_MODE: int(mission.gimbalPitchMode, 0, 255),
        HP_LATI: home ? degToRad(home.lat) : 0,
        HP_LONTI: home ? degToRad(home.lng) : 0,
        HP_ALTI: home ? num(home.alt) : 0,
        GOTO_FIRST: int(mission.gotoFirst, 0, 255),
        WAY_POINTS: mission.waypoints.map(waypointToWire),
    };
}

// Command lists come as an array of {ACTION_TYPE, PARAM_VALUE} from files
// and as an object name -> parameter from an aircraft's own report.
function commandsFromWire(list) {
    if (Array.isArray(list)) {
        return list
            .filter((c) => c && typeof c === 'object' && actionInfo(c.ACTION_TYPE))
            .map((c) => ({type: c.ACTION_TYPE, param: num(c.PARAM_VALUE)}));
    }
    if (list && typeof list === 'object') {
        return Object.keys(list)
            .sort()
            .filter((k) => actionInfo(k))
            .map((k) => ({type: k, param: num(list[k])}));
    }
    return [];
}

// Reads a wire mission leniently; `notes` says what could not be taken over.
export function missionFromWire(wire) {
    const src = wire && typeof wire === 'object' ? wire : {};
    const mission = createMission();
    const notes = [];
    const pick = (key, field) => {
        if (Number.isFinite(src[key])) mission[field] = src[key];
    };
    pick('IDLE_VEL', 'idleSpeed');
    pick('VEL_CMD_RANGE', 'maxSpeed');
    pick('ACTION_ON_FINISH', 'finishAction');
    pick('ACTION_ON_RC_LOST', 'rcLostAction');
    pick('YAW_MODE', 'yawMode');
    pick('TRACE_MODE', 'traceMode');
    pick('GIMBAL_PITCH_MODE', 'gimbalPitchMode');
    pick('GOTO_FIRST', 'gotoFirst');
    pick('MISSION_EXEC_NUM', 'execCount');
    const list = Array.isArray(src.WAY_POINTS) ? src.WAY_POINTS : [];
    let unreported = 0;
    for (const item of list) {
        const p = item && typeof item === 'object' ? item : {};
        const w = createWaypoint(radToDeg(num(p.LATI)), radToDeg(num(p.LONTI)));
        w.alt = num(p.ALTI);
        w.damping = num(p.DAMPING_DIS);
        w.yaw = num(p.TGT_YAW);
        w.gimbalPitch = num(p.TGT_GIMBAL_PITCH);
        w.turnMode = num(p.TURN_MODE);
        w.speed = p.HAS_SPEED ? num(p.SPEED) : null;
        w.actionTimeLimit = num(p.ACTION_TIME_LIMIT);
        if (p.HAS_ACTION && p.ACTION && typeof p.ACTION === 'object') {
            w.actionRepeat = num(p.ACTION.ACTION_RPT);
            w.actions = commandsFromWire(p.ACTION.COMMAND_LIST).slice(0, LIMITS.maxActions);
            const declared = num(p.ACTION.ACTION_NUM);
            if (declared > w.actions.length) unreported += declared - w.actions.length;
        }
        mission.waypoints.push(w);
    }
    if (unreported) notes.push(`${unreported} waypoint action(s) were not reported in detail and are left out.`);
    const length = num(src.LENGTH);
    if (length !== list.length) notes.push(`The mission declares ${length} waypoints but holds ${list.length}.`);
    return {mission, notes};
}
