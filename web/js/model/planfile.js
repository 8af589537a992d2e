// Mission files: QGroundControl plans (import and export) and GeoJSON
// (export). Positions in files are degrees, as in the editor.
import {wrapDegrees} from '../geo/earth.js';
import {createMission, createWaypoint, actionInfo, LIMITS} from './mission.js';

const CMD = Object.freeze({
    waypoint: 16,
    rtl: 20,
    land: 21,
    takeoff: 22,
    delay: 93,
    conditionYaw: 115,
    changeSpeed: 178,
    mountControl: 205,
    imageStart: 2000,
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

// Reads a plan (text or parsed object). Throws an Error with a readable
// message when the file is no plan at all; anything it has to leave out is
// listed in `notes`.
export function planToMission(input) {
    let plan = input;
    if (typeof input === 'string') {
        try {
            plan = JSON.parse(input);
        } catch (e) {
            throw new Error(`The file is not valid JSON (${e.message}).`, {cause: e});
        }
    }
    if (!plan || typeof plan !== 'object' || plan.fileType !== 'Plan')
        throw new Error('The file is not a QGroundControl plan (its "fileType" is not "Plan").');
    const body = plan.mission && typeof plan.mission === 'object' ? plan.mission : {};
    const items = Array.isArray(body.items) ? body.items : [];
    const mission = createMission();
    const notes = [];
    const skipped = new Map();
    const skip = (why) => skipped.set(why, (skipped.get(why) || 0) + 1);
    if (Number.isFinite(body.cruiseSpeed) && body.cruiseSpeed > 0) mission.idleSpeed = body.cruiseSpeed;
    let speed = null;
    let absolute = false;
    let last = null;
    const addAction = (type, param) => {
        if (!last) return skip('an action before the first waypoint');
        if (last.actions.length >= LIMITS.maxActions)
            return skip(`an action beyond ${LIMITS.maxActions} at one waypoint`);
        last.actions.push({type, param: Math.round(param)});
    };
    for (const raw of items) {
        if (!raw || typeof raw !== 'object') continue;
        if (raw.type !== 'SimpleItem') {
            skip(`a ${raw.complexItemType || raw.type || 'complex'} item`);
            continue;
        }
        const p = Array.isArray(raw.params) ? raw.params : [];
        const val = (i, fallback = 0) => (Number.isFinite(p[i]) ? p[i] : fallback);
        switch (raw.command) {
            case CMD.waypoint: {
                if (!Number.isFinite(p[4]) || !Number.isFinite(p[5])) {
                    skip('a waypoint without a position');
                    break;
                }
                if (!RELATIVE_FRAMES.has(raw.frame)) absolute = true;
                const w = createWaypoint(p[4], p[5]);
                w.alt = val(6);
                w.speed = speed;
                w.damping = Math.max(0, val(2));
                if (Number.isFinite(p[3])) w.yaw = wrapDegrees(p[3]);
                if (val(0) > 0) w.actions.push({type: 'WP_ACTION_STAY', param: Math.round(val(0))});
                mission.waypoints.push(w);
                last = w;
                break;
            }
            case CMD.changeSpeed:
                // Back to the cruise speed means no speed of the waypoint's own.
                if (val(1) > 0) speed = val(1) === mission.idleSpeed ? null : val(1);
                break;
            case CMD.delay:
                addAction('WP_ACTION_STAY', val(0));
                break;
            case CMD.imageStart:
                addAction('WP_ACTION_SIMPLE_SHOT', 0);
                break;
            case CMD.videoStart:
                addAction('WP_ACTION_VIDEO_START', 0);
                break;
            case CMD.videoStop:
                addAction('WP_ACTION_VIDEO_STOP', 0);
                break;
            case CMD.conditionYaw:
                addAction('WP_ACTION_CRAFT_YAW', wrapDegrees(val(0)));
                break;
            case CMD.mountControl:
                addAction('WP_ACTION_GIMBAL_PITCH', val(0));
                break;
            case CMD.rtl:
                mission.finishAction = 1;
                break;
            case CMD.land:
                mission.finishAction = 2;
                break;
            case CMD.takeoff:
                skip('a take-off item (take off from the aircraft panel)');
                break;
            default:
                skip(`an item with command ${raw.command}`);
        }
    }
    if (absolute) notes.push('Some altitudes were not relative to home; they were taken as heights above home.');
    for (const [why, count] of skipped) notes.push(count > 1 ? `Left out ${count}×: ${why}.` : `Left out: ${why}.`);
    if (mission.waypoints.some((w) => w.yaw !== 0)) mission.yawMode = 3;
    let home = null;
    const h = body.plannedHomePosition;
    if (Array.isArray(h) && Number.isFinite(h[0]) && Number.isFinite(h[1]))
        home = {lat: h[0], lng: h[1], alt: Number.isFinite(h[2]) ? h[2] : 0};
    return {mission, notes, home};
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
