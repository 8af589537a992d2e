// Mission files: QGroundControl plans (import and export) and GeoJSON
// (export). Positions in files are degrees, as in the editor.
import {wrapDegrees} from '../geo/earth.js';
import {createMission, createWaypoint, actionInfo, LIMITS} from './mission.js';
import {clamp} from './units.js';

const CMD = Object.freeze({
    waypoint: 16,
    loiter: 17,
    loiterTurns: 18,
    loiterTime: 19,
    rtl: 20,
    land: 21,
    takeoff: 22,
    loiterToAlt: 31,
    spline: 82,
    vtolTakeoff: 84,
    vtolLand: 85,
    delay: 93,
    conditionYaw: 115,
    changeSpeed: 178,
    digicam: 203,
    mountControl: 205,
    triggerDistance: 206,
    gimbalPitchYaw: 1000,
    imageStart: 2000,
    imageStop: 2001,
    videoStart: 2500,
    videoStop: 2501,
});
const FRAME_MISSION = 2;
const FRAME_RELATIVE = 3;
const RELATIVE_FRAMES = new Set([3, 6]);

function item(id, command, params, frame = FRAME_MISSION) {
    return {autoContinue: true, command, doJumpId: id, frame, params, type: 'SimpleItem'};
}

const orNull = (v) => (Number.isFinite(v) ? v : null);

// home: {lat, lng, alt} or null; the plan then gets the first waypoint.
export function missionToPlan(mission, home = null) {
    const items = [];
    let id = 1;
    let speed = mission.idleSpeed;
    const wps = mission.waypoints;
    for (const w of wps) {
        const wanted = w.speed != null ? w.speed : mission.idleSpeed;
        if (wanted !== speed) {
            items.push(item(id++, CMD.changeSpeed, [1, wanted, -1, 0, 0, 0, 0]));
            speed = wanted;
        }
        let actions = w.actions;
        let hold = 0;
        // A leading hover is the waypoint's own hold time.
        if (actions.length && actions[0].type === 'WP_ACTION_STAY') {
            hold = actions[0].param;
            actions = actions.slice(1);
        }
        const yaw = mission.yawMode === 3 ? w.yaw : null;
        items.push(item(id++, CMD.waypoint, [hold, 0, w.damping, orNull(yaw), w.lat, w.lng, w.alt], FRAME_RELATIVE));
        for (const a of actions) {
            switch (a.type) {
                case 'WP_ACTION_STAY':
                    items.push(item(id++, CMD.delay, [a.param, -1, -1, -1, 0, 0, 0]));
                    break;
                case 'WP_ACTION_SIMPLE_SHOT':
                    items.push(item(id++, CMD.imageStart, [0, 0, 1, 0, 0, 0, 0]));
                    break;
                case 'WP_ACTION_VIDEO_START':
                    items.push(item(id++, CMD.videoStart, [0, 0, 0, 0, 0, 0, 0]));
                    break;
                case 'WP_ACTION_VIDEO_STOP':
                    items.push(item(id++, CMD.videoStop, [0, 0, 0, 0, 0, 0, 0]));
                    break;
                case 'WP_ACTION_CRAFT_YAW':
                    items.push(item(id++, CMD.conditionYaw, [(a.param + 360) % 360, 0, 0, 0, 0, 0, 0]));
                    break;
                case 'WP_ACTION_GIMBAL_PITCH':
                    items.push(item(id++, CMD.mountControl, [a.param, 0, 0, 0, 0, 0, 2]));
                    break;
            }
        }
    }
    if (mission.finishAction === 1) items.push(item(id++, CMD.rtl, [0, 0, 0, 0, 0, 0, 0]));
    if (mission.finishAction === 2 && wps.length) {
        const last = wps[wps.length - 1];
        items.push(item(id, CMD.land, [0, 0, 0, null, last.lat, last.lng, 0], FRAME_RELATIVE));
    }
    const origin = home || wps[0] || {lat: 0, lng: 0, alt: 0};
    return {
        fileType: 'Plan',
        geoFence: {circles: [], polygons: [], version: 2},
        groundStation: 'Oru Ground Station',
        mission: {
            cruiseSpeed: mission.idleSpeed,
            firmwareType: 0,
            hoverSpeed: mission.idleSpeed,
            items,
            plannedHomePosition: [origin.lat, origin.lng, origin.alt != null && home ? origin.alt : 0],
            vehicleType: 2,
            version: 2,
        },
        rallyPoints: {points: [], version: 2},
        version: 1,
    };
}

// How much of a file the reader takes on. An aircraft flies at most 50
// waypoints; files far beyond these bounds are no missions for it.
export const PLAN_LIMITS = Object.freeze({
    fileBytes: 4 * 1024 * 1024,
    items: 5000,
    fences: 100,
    vertices: 1000,
    rally: 100,
});

const AMSL_FRAMES = new Set([0, 5]);
const TERRAIN_FRAMES = new Set([10, 11]);
// Fixed wings, ground and water vehicles and VTOL aircraft fly missions at
// the cruise speed; multirotors and helicopters at the hover speed.
const CRUISING_TYPES = new Set([1, 10, 11, 19, 20, 21, 22, 23, 24, 25]);
const STAY_MAX_S = 32;

// Commands the aircraft has no counterpart for, in words for the notes.
const UNREAD = new Map([
    [30, 'a climb without a waypoint'],
    [92, 'a switch to guided flight'],
    [94, 'a payload placement'],
    [112, 'a delay condition'],
    [113, 'a height condition'],
    [114, 'a distance condition'],
    [177, 'a jump to another item'],
    [179, 'a change of home'],
    [181, 'a relay switch'],
    [182, 'a repeated relay switch'],
    [183, 'a servo setting'],
    [184, 'a repeated servo setting'],
    [186, 'a height change'],
    [187, 'an actuator setting'],
    [189, 'a landing-sequence marker'],
    [195, 'a region of interest'],
    [196, 'a region of interest'],
    [197, 'the end of a region of interest'],
    [200, 'a video control'],
    [201, 'a region of interest'],
    [202, 'a camera configuration'],
    [204, 'a gimbal configuration'],
    [207, 'a fence switch'],
    [208, 'a parachute action'],
    [211, 'a gripper action'],
    [212, 'an autotune switch'],
    [214, 'a timed camera trigger'],
    [218, 'an auxiliary function'],
    [223, 'an engine control'],
    [530, 'a camera mode change'],
    [531, 'a camera zoom'],
    [532, 'a camera focus'],
    [3000, 'a VTOL transition'],
    [42600, 'a winch action'],
]);

const COMPLEX_NAMES = {
    survey: 'survey',
    CorridorScan: 'corridor scan',
    StructureScan: 'structure scan',
    fwLandingPattern: 'fixed-wing landing approach',
    vtolLandingPattern: 'VTOL landing approach',
};

const finite = (v) => typeof v === 'number' && Number.isFinite(v);
const obj = (v) => (v && typeof v === 'object' && !Array.isArray(v) ? v : {});
const round2 = (v) => Math.round(v * 100) / 100;
const plural = (n, one) => `${n} ${one}${n === 1 ? '' : 's'}`;
const validPosition = (lat, lng) => finite(lat) && finite(lng) && Math.abs(lat) <= 90 && Math.abs(lng) <= 180;

// The older item form gives four params and the position as "coordinate".
function paramsOf(raw) {
    const p = Array.isArray(raw.params) ? raw.params.slice(0, 7) : [];
    if (Array.isArray(raw.coordinate)) {
        while (p.length < 4) p.push(0);
        p.length = 4;
        p.push(...raw.coordinate.slice(0, 3));
    }
    return p;
}

function itemList(numbers) {
    const shown = numbers.slice(0, 10).map(String);
    const more = numbers.length > shown.length ? ` (${numbers.length} in all)` : '';
    if (shown.length === 1) return `item ${shown[0]}`;
    const text = `${shown.slice(0, -1).join(', ')} and ${shown[shown.length - 1]}`;
    return `items ${more ? `${shown.join(', ')}, …` : text}${more}`;
}

function parsePlan(input) {
    let plan = input;
    if (typeof input === 'string') {
        if (input.length > PLAN_LIMITS.fileBytes)
            throw new Error(
                `The file is larger than ${PLAN_LIMITS.fileBytes / 1048576} MB; no mission plan is that large.`,
            );
        try {
            plan = JSON.parse(input);
        } catch (e) {
            throw new Error(`The file is not valid JSON (${e.message}).`, {cause: e});
        }
    }
    if (plan && typeof plan === 'object' && !Array.isArray(plan)) {
        if (plan.fileType === 'Plan') return {body: obj(plan.mission), plan};
        // Older mission files: the items at the top and no "fileType".
        if (plan.fileType === undefined && Array.isArray(plan.items)) return {body: plan, plan: {}};
    }
    throw new Error('The file is not a QGroundControl plan (its "fileType" is not "Plan").');
}

class PlanReader {
    constructor(body) {
        this.mission = createMission();
        this.found = new Map();
        this.count = 0;
        this.last = null;
        this.speed = null;
        this.triggering = false;
        this.landing = null;
        const h = body.plannedHomePosition;
        this.home = null;
        if (Array.isArray(h) && validPosition(h[0], h[1]))
            this.home = {lat: h[0], lng: h[1], alt: finite(h[2]) ? h[2] : 0};
        this.homeAlt = Array.isArray(h) && finite(h[2]) ? h[2] : null;
        this.setIdleSpeed(body);
    }

    // One note per kind of finding, naming every item it concerns.
    note(text, n, why = '') {
        const key = `${text}|${why}`;
        const entry = this.found.get(key) || {text, why, items: []};
        if (!entry.items.includes(n)) entry.items.push(n);
        this.found.set(key, entry);
    }

    notes() {
        return [...this.found.values()].map(({text, why, items}) => {
            const where = items.length ? ` at ${itemList(items)}` : '';
            const line = `${text}${where}${why ? `: ${why}` : ''}.`;
            return line[0].toUpperCase() + line.slice(1);
        });
    }

    setIdleSpeed(body) {
        const cruising = CRUISING_TYPES.has(body.vehicleType);
        const order = cruising ? [body.cruiseSpeed, body.hoverSpeed] : [body.hoverSpeed, body.cruiseSpeed];
        const speed = order.find((v) => finite(v) && v > 0);
        if (speed == null) return;
        this.mission.idleSpeed = Math.min(speed, LIMITS.maxSpeed);
        if (speed > LIMITS.maxSpeed)
            this.found.set('idle', {
                text: `the plan's ${cruising ? 'cruise' : 'hover'} speed of ${speed} m/s`,
                why: `lowered to the aircraft's limit of ${LIMITS.maxSpeed} m/s`,
                items: [],
            });
    }

    read(items, within = '', top = 0) {
        items.forEach((raw, i) => {
            const n = within ? top : i + 1;
            if (++this.count > PLAN_LIMITS.items)
                throw new Error(
                    `The plan has more than ${PLAN_LIMITS.items} items; no mission for this aircraft is that long.`,
                );
            if (!raw || typeof raw !== 'object') this.note('Left out: an entry that is no mission item', n);
            // Scans hold plain items only; anything deeper is no file a planner writes.
            else if (raw.type === 'ComplexItem' && within) this.note(`Left out: an item nested in the ${within}`, n);
            else if (raw.type === 'ComplexItem') this.complex(raw, n);
            else if (!Number.isInteger(raw.command)) this.note('Left out: an item without a command', n);
            else this.simple(raw, n, within ? ` in the ${within}` : '');
        });
    }

    complex(raw, n) {
        const type = String(raw.complexItemType ?? '');
        const name = Object.hasOwn(COMPLEX_NAMES, type) ? COMPLEX_NAMES[type] : `"${type.slice(0, 40)}" item`;
        const land = raw.landCoordinate;
        if (Array.isArray(land) && validPosition(land[0], land[1])) {
            this.landAt(land[0], land[1], n);
            this.note(`the ${name}`, n, 'a landing at its touchdown point');
            return;
        }
        const inner = obj(raw.TransectStyleComplexItem).Items;
        if (Array.isArray(inner) && inner.length) {
            this.read(inner, name, n);
            return;
        }
        this.note(`Left out: a ${name}`, n, 'the file does not list its waypoints');
    }

    simple(raw, n, within) {
        const p = paramsOf(raw);
        const val = (i, fallback = 0) => (finite(p[i]) ? p[i] : fallback);
        const left = (what, why) => this.note(`Left out: ${what}${within}`, n, why);
        switch (raw.command) {
            case CMD.waypoint:
            case CMD.spline: {
                const w = this.waypoint(raw, p, n, `a waypoint${within}`);
                if (!w) break;
                if (raw.command === CMD.spline) this.note('a spline waypoint', n, 'flown as a straight leg');
                else {
                    w.damping = Math.max(0, val(2));
                    if (finite(p[3])) w.yaw = wrapDegrees(p[3]);
                }
                this.stay(w, val(0), n);
                break;
            }
            case CMD.loiterTime: {
                const w = this.waypoint(raw, p, n, `a timed loiter${within}`);
                if (w) this.stay(w, val(0), n);
                break;
            }
            case CMD.loiterTurns:
            case CMD.loiter: {
                const what = raw.command === CMD.loiter ? 'an endless loiter' : `a loiter of ${plural(val(0), 'turn')}`;
                if (this.waypoint(raw, p, n, what))
                    this.note(what, n, 'a plain waypoint, as the aircraft does not circle');
                break;
            }
            case CMD.loiterToAlt:
                this.waypoint(raw, p, n, 'a loiter to a height');
                break;
            case CMD.land:
            case CMD.vtolLand:
                if (validPosition(p[4], p[5]) && (p[4] !== 0 || p[5] !== 0)) this.landAt(p[4], p[5], n);
                else {
                    this.landing = null;
                    this.mission.finishAction = 2;
                }
                break;
            case CMD.rtl:
                this.landing = null;
                this.mission.finishAction = 1;
                break;
            case CMD.takeoff:
            case CMD.vtolTakeoff:
                left('a take-off', 'the aircraft takes off by itself when a mission starts on the ground');
                break;
            case CMD.changeSpeed:
                this.changeSpeed(val(0, 1), p[1], n, left);
                break;
            case CMD.delay:
                if (val(0) > 0) this.stay(this.last, val(0), n, `a delay${within}`);
                else left('a delay until a time of day');
                break;
            case CMD.imageStart:
                this.shoot(n, within);
                if (val(1) > 0 && val(2) !== 1) {
                    this.triggering = true;
                    this.note(`a photo series${within}`, n, 'one photo at each waypoint until it stops');
                }
                break;
            case CMD.imageStop:
                this.triggering = false;
                break;
            case CMD.triggerDistance:
                if (val(0) > 0) {
                    if (val(2) === 1) this.shoot(n, within);
                    this.triggering = true;
                    this.note(
                        `camera triggers every ${val(0)} m${within}`,
                        n,
                        'one photo at each waypoint while they are on',
                    );
                } else this.triggering = false;
                break;
            case CMD.digicam:
                if (val(4) === 1) this.shoot(n, within);
                else left('a camera setting');
                break;
            case CMD.videoStart:
                this.addAction('WP_ACTION_VIDEO_START', 0, n, `a video start${within}`);
                break;
            case CMD.videoStop:
                this.addAction('WP_ACTION_VIDEO_STOP', 0, n, `a video stop${within}`);
                break;
            case CMD.conditionYaw:
                this.addAction('WP_ACTION_CRAFT_YAW', wrapDegrees(val(0)), n, `a turn${within}`);
                break;
            case CMD.mountControl:
            case CMD.gimbalPitchYaw:
                this.addAction('WP_ACTION_GIMBAL_PITCH', clamp(val(0), -90, 30), n, `a gimbal tilt${within}`);
                break;
            default:
                left(UNREAD.get(raw.command) || `a command this page does not read (MAVLink command ${raw.command})`);
        }
    }

    waypoint(raw, p, n, what) {
        if (!validPosition(p[4], p[5])) {
            this.note(`Left out: ${what} without a position`, n);
            return null;
        }
        const alt = this.height(raw, p[6], n, what);
        return alt == null ? null : this.add(p[4], p[5], alt);
    }

    height(raw, value, n, what) {
        if (RELATIVE_FRAMES.has(raw.frame) && finite(value)) return value;
        if (AMSL_FRAMES.has(raw.frame) && finite(value)) {
            if (this.homeAlt == null) {
                this.note(`Left out: ${what} with a height above sea level`, n, 'the plan gives no home altitude');
                return null;
            }
            this.note(
                'heights above sea level',
                n,
                `made heights above home with the plan's home altitude, ${round2(this.homeAlt)} m`,
            );
            return round2(value - this.homeAlt);
        }
        if (TERRAIN_FRAMES.has(raw.frame) || raw.AltitudeMode === 3) {
            this.note(
                `Left out: ${what} with a height above terrain`,
                n,
                "the ground's height along the path is not known here",
            );
            return null;
        }
        this.note(`Left out: ${what} without a height above home or sea level`, n);
        return null;
    }

    add(lat, lng, alt) {
        if (this.landing) {
            this.note(
                'a landing before the end',
                this.landing,
                'a waypoint the aircraft flies over, as it lands only at the end',
            );
            this.landing = null;
        }
        const w = createWaypoint(lat, lng);
        w.alt = alt;
        w.speed = this.speed;
        if (this.triggering) w.actions.push({type: 'WP_ACTION_SIMPLE_SHOT', param: 0});
        this.mission.waypoints.push(w);
        this.last = w;
        return w;
    }

    // The aircraft comes in at the height it had and lands at the point.
    landAt(lat, lng, n) {
        this.add(lat, lng, this.last ? this.last.alt : 30);
        this.landing = n;
    }

    changeSpeed(type, value, n, left) {
        if (type === 2 || type === 3) return left(`a ${type === 2 ? 'climb' : 'descent'} speed`);
        if (!finite(value) || value <= 0) return undefined;
        let speed = value;
        if (speed > LIMITS.maxSpeed) {
            this.note(`a speed of ${value} m/s`, n, `lowered to the aircraft's limit of ${LIMITS.maxSpeed} m/s`);
            speed = LIMITS.maxSpeed;
        }
        // Back to the plan's default speed means no speed of the waypoint's own.
        this.speed = speed === this.mission.idleSpeed ? null : speed;
        return undefined;
    }

    // Stays are whole seconds and at most 32 s each on the aircraft.
    stay(w, seconds, n, what = 'a hold') {
        let rest = Math.round(seconds);
        if (rest <= 0) return;
        if (!w) return this.note(`Left out: ${what} before the first waypoint`, n);
        while (rest > 0 && w.actions.length < LIMITS.maxActions) {
            const s = Math.min(STAY_MAX_S, rest);
            w.actions.push({type: 'WP_ACTION_STAY', param: s});
            rest -= s;
        }
        if (rest > 0)
            this.note(
                `a hold of ${Math.round(seconds)} s`,
                n,
                `${rest} s shorter, as a waypoint takes at most ${LIMITS.maxActions} actions`,
            );
    }

    shoot(n, within) {
        const w = this.last;
        if (w && w.actions.length && w.actions[w.actions.length - 1].type === 'WP_ACTION_SIMPLE_SHOT') return;
        this.addAction('WP_ACTION_SIMPLE_SHOT', 0, n, `a photo${within}`);
    }

    addAction(type, param, n, what) {
        if (!this.last) return this.note(`Left out: ${what} before the first waypoint`, n);
        if (this.last.actions.length >= LIMITS.maxActions)
            return this.note(`Left out: ${what} beyond ${LIMITS.maxActions} actions at one waypoint`, n);
        this.last.actions.push({type, param: Math.round(param)});
        return undefined;
    }

    finish() {
        const m = this.mission;
        if (this.landing != null) m.finishAction = 2;
        if (m.waypoints.some((w) => w.yaw !== 0)) m.yawMode = 3;
        const fastest = Math.max(m.idleSpeed, ...m.waypoints.map((w) => w.speed ?? 0));
        m.maxSpeed = Math.min(LIMITS.maxSpeed, Math.max(m.maxSpeed, fastest));
    }
}

function readPoints(list) {
    if (!Array.isArray(list) || list.length > PLAN_LIMITS.vertices) return [];
    const points = list.filter((v) => Array.isArray(v) && validPosition(v[0], v[1])).map(([lat, lng]) => ({lat, lng}));
    return points.length === list.length ? points : [];
}

// Fences as {inclusion, points} or {inclusion, lat, lng, radius}; version 1
// files held one polygon, an area to stay in.
function readFences(geo) {
    const g = obj(geo);
    const polygons = Array.isArray(g.polygons) ? [...g.polygons] : [];
    if (Array.isArray(g.polygon) && g.polygon.length) polygons.push({inclusion: true, polygon: g.polygon});
    const fences = [];
    let unread = 0;
    for (const f of polygons) {
        const points = readPoints(obj(f).polygon);
        if (points.length >= 3) fences.push({inclusion: f.inclusion !== false, points});
        else unread += 1;
    }
    for (const f of Array.isArray(g.circles) ? g.circles : []) {
        const c = obj(obj(f).circle);
        const centre = Array.isArray(c.center) ? c.center : [];
        if (validPosition(centre[0], centre[1]) && finite(c.radius) && c.radius > 0)
            fences.push({inclusion: f.inclusion !== false, lat: centre[0], lng: centre[1], radius: c.radius});
        else unread += 1;
    }
    unread += Math.max(0, fences.length - PLAN_LIMITS.fences);
    return {fences: fences.slice(0, PLAN_LIMITS.fences), unread};
}

function readRally(rally) {
    const list = obj(rally).points;
    if (!Array.isArray(list)) return [];
    return list
        .slice(0, PLAN_LIMITS.rally)
        .filter((v) => Array.isArray(v) && validPosition(v[0], v[1]))
        .map(([lat, lng, alt]) => ({lat, lng, alt: finite(alt) ? alt : 0}));
}

// Reads a plan (text or parsed object). Throws an Error with a readable
// message when the file is no plan at all or far too large; what it had to
// leave out or change is listed in `notes`. Fences and rally points come
// back for the map and the checks.
export function planToMission(input) {
    const {body, plan} = parsePlan(input);
    const reader = new PlanReader(body);
    reader.read(Array.isArray(body.items) ? body.items : []);
    reader.finish();
    const notes = reader.notes();
    const {fences, unread} = readFences(plan.geoFence);
    const rally = readRally(plan.rallyPoints);
    if (fences.length || rally.length) {
        const parts = [];
        if (fences.length) parts.push(plural(fences.length, 'fence'));
        if (rally.length) parts.push(plural(rally.length, 'rally point'));
        notes.push(
            `The plan's ${parts.join(' and ')} are shown on the map and checked against the mission; the aircraft itself is not given them.`,
        );
    }
    if (unread)
        notes.push(`Left out: ${plural(unread, 'fence')} without a usable shape or beyond ${PLAN_LIMITS.fences}.`);
    return {mission: reader.mission, notes, home: reader.home, fences, rally};
}

export function missionToGeoJSON(mission, name = 'mission') {
    const wps = mission.waypoints;
    const features = [
        {
            type: 'Feature',
            geometry: {type: 'LineString', coordinates: wps.map((w) => [w.lng, w.lat, w.alt])},
            properties: {
                name,
                cruiseSpeed: mission.idleSpeed,
                speedRange: mission.maxSpeed,
                finishAction: mission.finishAction,
                executions: mission.execCount,
            },
        },
    ];
    wps.forEach((w, i) => {
        features.push({
            type: 'Feature',
            geometry: {type: 'Point', coordinates: [w.lng, w.lat, w.alt]},
            properties: {
                index: i + 1,
                altitude: w.alt,
                speed: w.speed,
                yaw: w.yaw,
                gimbalPitch: w.gimbalPitch,
                actions: w.actions.map((a) => ({
                    action: actionInfo(a.type)?.label || a.type,
                    type: a.type,
                    param: a.param,
                })),
            },
        });
    });
    return {type: 'FeatureCollection', features};
}
