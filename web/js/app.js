// Wires the page together: connections, shared state, map and panels.
import {$, setText} from './ui/dom.js';
import {CommandChannel, PushChannel} from './protocol/connection.js';
import {FleetState} from './model/fleetstate.js';
import {MissionStore} from './model/missionstore.js';
import {ZoneStore, zonesFromWire, zoneStateText} from './geo/zones.js';
import {MapView} from './ui/mapview.js';
import {LogPanel} from './ui/logpanel.js';
import {FleetPanel} from './ui/fleetpanel.js';
import {FlightPanel} from './ui/flightpanel.js';
import {MissionPanel} from './ui/missionpanel.js';
import {MissionOps} from './ui/missionops.js';
import {WaylinePanel} from './ui/waylinepanel.js';
import {degToRad, wrapDegrees} from './geo/earth.js';
import {StationFleet} from './model/stationfleet.js';
import {FleetView} from './model/fleetview.js';
import {BrokerLink} from './protocol/brokerlink.js';
import {StationPanel} from './ui/stationpanel.js';
import {setupAbout} from './ui/about.js';
import {MissionStatsView} from './ui/missionstats.js';
import {PlanOverlay} from './ui/planoverlay.js';
import {addTileLayers} from './ui/tilelayers.js';
import {addGotoBox} from './ui/gotobox.js';
import {AircraftMissions} from './model/aircraftmission.js';
import {commandState, plainFailure} from './model/commandstate.js';
import {renderControls} from './ui/controls.js';
import {loadTrails, saveTrails} from './model/trail.js';

const origin = `ws://${location.host}`;
const commands = new CommandChannel(`${origin}/groundstation`);
const push = new PushChannel(`${origin}/groundstation/push`);
const fleet = new FleetState();
// The broker's stations, when the user gave one; all is what panels and map show.
const stations = new StationFleet();
const all = new FleetView(fleet, stations);
let broker = null;
const store = new MissionStore(window.localStorage);
const missions = new AircraftMissions(window.localStorage);
const zones = new ZoneStore();
const log = new LogPanel();
const map = new MapView($('map'));
// A mission file's fences and rally points; the checks hold the path to them.
const planOverlay = new PlanOverlay(map.map, () => ops.scheduleCheck(0));
const missionStats = new MissionStatsView();
addTileLayers(map.map);
addGotoBox(map.map);
map.drawGrid(); // its labels keep clear of the controls just added

setupAbout();

let selected = null;
// The aircraft chosen before a reload, chosen again when it is back.
const preferred = sessionStorage.getItem('oru.selected');
const limits = new Map();
let flagged = new Set();
let follow = false;
let fleetFitted = false;
const links = {commands: {up: false, seen: false}, events: {up: false, seen: false}};

function toast(kind, title, text = '', options = {}) {
    return log.toast(kind, title, text, options);
}

// Sends a command; failures and silence are reported to the user with the
// command's name unless the page asked on its own (quiet), in which case the
// command log still shows them. A broker station's aircraft is commanded
// through the broker, named by its own serial number.
async function send(label, cmd, value, {aircraft = '', quiet = false, onUnanswered = null} = {}) {
    const remote = aircraft ? all.remote(aircraft) : null;
    if (remote) label = `${label} (${remote.station})`;
    const options = {
        label,
        aircraft,
        onUnanswered: (entry) => {
            if (!quiet)
                toast(
                    'warning',
                    `${label}: no answer yet`,
                    `"${cmd}" has had no answer for 15 seconds. It stays open; a late answer is still taken.`,
                );
            if (onUnanswered) onUnanswered(entry);
        },
    };
    let result;
    if (!remote) result = await commands.send(cmd, value, options);
    else if (!broker) result = {ok: false, message: 'not connected to the broker'};
    else {
        const wire = value && value.AIRCRAFT === aircraft ? {...value, AIRCRAFT: remote.sn} : value;
        result = await broker.send(remote.station, cmd, wire, options);
    }
    if (!result.ok && !quiet) toast('error', `${label} failed`, plainFailure(result.reply, result.message));
    return result;
}

async function queryZones(point) {
    const result = await send(
        'No-fly zones nearby',
        'GetNoflyZone',
        {LATI: degToRad(point.lat), LONTI: degToRad(point.lng)},
        {quiet: true},
    );
    if (!result.ok) return {ok: false, message: result.message};
    const found = zonesFromWire(result.reply.VALUE);
    map.addZones(zones.add(found));
    return {ok: true, zones: found};
}

// Asked again while the host is still loading its zone file; a host that
// restarts is asked when the connection comes back.
let zoneStateTimer = null;
async function queryZoneState() {
    clearTimeout(zoneStateTimer);
    const result = await send('No-fly database', 'GetNoflyZoneState', {}, {quiet: true});
    if (!result.ok) return;
    const state = result.reply.VALUE;
    map.setZoneState(zoneStateText(state), state?.STATE);
    if (state?.STATE === 'loading') zoneStateTimer = setTimeout(queryZoneState, 2000);
}

function selectedHome() {
    const a = selected ? all.get(selected) : null;
    return a && a.home ? {...a.home, alt: 0} : null;
}

// A pick belongs to the tab it was armed from.
function showTab(name) {
    map.cancelPick();
    for (const tab of document.querySelectorAll('.tabs [role="tab"]')) {
        const on = tab.id === `tab-${name}`;
        tab.setAttribute('aria-selected', String(on));
        $(tab.getAttribute('aria-controls')).hidden = !on;
    }
}

async function pick(text) {
    const answer = map.pickPoint();
    $('pick-text').textContent = `${text} Esc, another tab or map mode cancels.`;
    $('pick-banner').hidden = false;
    return answer;
}
map.on('pickended', () => ($('pick-banner').hidden = true));

// Offers to undo the edit just made, for as long as it is the last one.
function undoOffer() {
    const version = store.version();
    return {undo: () => store.version() === version && store.undo(), valid: () => store.version() === version};
}

function replaceMission(mission, source, notes = []) {
    const undoable = store.replace(mission, `load ${source}`);
    const text = [`${mission.waypoints.length} waypoints.`, ...notes].join(' ');
    toast(notes.length ? 'warning' : 'ok', `Loaded ${source}`, text, undoable ? undoOffer() : {});
    showTab('mission');
    map.fit(mission.waypoints);
}

// Asks the aircraft which mission it holds; quietly, as the page does it by itself.
const reading = new Set();
async function readOnboard(serial) {
    if (!serial || reading.has(serial) || ops.uploading) return;
    reading.add(serial);
    try {
        const result = await send(
            'Read its mission',
            'DownloadWayLineMission',
            {AIRCRAFT: serial},
            {aircraft: serial, quiet: true},
        );
        const value = result.ok && result.reply.VALUE;
        if (value && typeof value === 'object') missions.reported(serial, value);
        else if (Number(result.reply?.ERROR_CODE) === 212) missions.reported(serial, null);
    } finally {
        reading.delete(serial);
    }
}

const api = {
    send,
    toast,
    fleet: all,
    map,
    pick,
    queryZones,
    replaceMission,
    planOverlay,
    selected: () => selected,
    home: selectedHome,
    limit: (serial) => limits.get(serial) || null,
    fitSelected: () => {
        const a = selected && all.get(selected);
        if (a && a.state) map.fit([a.state], 17);
    },
    missionFlagged: (set) => {
        flagged = set;
        drawMission();
    },
    missions,
    readOnboard,
    store,
    name: (serial) => all.get(serial)?.sn || serial,
    commandState: (serial) => commandState(all.get(serial), missions.get(serial)?.kind),
    undoOffer,
};

const fleetPanel = new FleetPanel(
    all,
    (serial) => selectAircraft(serial),
    (serial) => {
        if (!all.forget(serial)) return;
        map.removeAircraft(serial);
        if (selected === serial) {
            const next = all.list().find((a) => a.connected);
            selectAircraft(next ? next.serial : null);
        }
        renderNow();
    },
    window.localStorage,
);
const stationPanel = new StationPanel(stations, window.localStorage, (url) => startBroker(url));
const flightPanel = new FlightPanel(api);
const missionPanel = new MissionPanel(store);
const ops = new MissionOps(api, store, missionPanel);
const waylines = new WaylinePanel(api, store);

function onboardState() {
    return selected
        ? missions.compare(selected, store.mission, api.name(selected))
        : {state: 'unknown', text: 'No aircraft chosen.'};
}

function drawMission() {
    const a = selected ? all.get(selected) : null;
    // The active waypoint is only meaningful while the editor still shows
    // what was uploaded to this aircraft.
    const current = a && a.state && onboardState().state === 'same' ? a.state.waypointIndex : -1;
    map.setMission(store.mission, store.selectedId, flagged, current ?? -1);
}

async function fetchLimit(serial) {
    const result = await send('Flight limits', 'GetFlyLimit', {AIRCRAFT: serial}, {aircraft: serial, quiet: true});
    const v = result.ok && result.reply.VALUE;
    if (v && typeof v === 'object') {
        limits.set(serial, {maxHeight: Number(v.MAX_HEIGHT) || 0, maxDistance: Number(v.MAX_DISTANCE) || 0});
        renderSoon();
        ops.scheduleCheck();
    }
}

function selectAircraft(serial) {
    if (selected === serial) return;
    // A pick was armed for the aircraft chosen then.
    map.cancelPick();
    selected = serial;
    for (const b of document.querySelectorAll('[data-needs-aircraft]')) b.disabled = !serial;
    if (serial) {
        store.use(serial);
        sessionStorage.setItem('oru.selected', serial);
        readOnboard(serial);
    }
    ops.resetProgress();
    if (serial && !limits.has(serial)) fetchLimit(serial);
    renderNow();
    for (const a of all.list()) updateAircraftOnMap(a);
    drawMission();
    ops.scheduleCheck();
}

// Seconds since the last report, once that is long enough to be stale; else null.
const telemetryAge = (a) =>
    a.connected && a.telemetryAt && all.isStale(a) ? Math.round((Date.now() - a.telemetryAt) / 1000) : null;

function updateAircraftOnMap(a) {
    map.updateAircraft(a, {color: fleetPanel.color(a.serial), selected: a.serial === selected, age: telemetryAge(a)});
}

let renderQueued = false;
function renderSoon() {
    if (renderQueued) return;
    renderQueued = true;
    setTimeout(() => {
        renderQueued = false;
        renderNow();
    }, 200);
}

let lastActive = -1;
let onboardDrawn = null;
function renderNow() {
    fleetPanel.render(selected);
    const a = selected ? all.get(selected) : null;
    flightPanel.render(a, selected ? limits.get(selected) : null, a ? telemetryAge(a) : null);
    const limit = selected ? limits.get(selected) : null;
    map.setLimitCircle(a && a.home, limit ? limit.maxDistance : 0);
    missionStats.render(store.mission, a, onboardState().state === 'same');
    renderControls(a, api.commandState(selected), {home: flightPanel.homeLeg(a)});
    const onboard = onboardState();
    for (const id of ['onboard-state', 'flight-mission']) {
        $(id).dataset.state = onboard.state;
        setText(id, onboard.text);
    }
    // What the aircraft would fly, dashed beside the draft, unless the download panel shows it.
    const held = selected && missions.get(selected);
    const shown = onboard.state === 'differs' || onboard.state === 'foreign' ? held.mission : null;
    if ($('onboard-panel').hidden && shown !== onboardDrawn) map.setOnboard((onboardDrawn = shown));
    const active = a && a.state ? a.state.waypointIndex : -1;
    if (active !== lastActive) {
        lastActive = active;
        drawMission();
    }
}

function fitFleet() {
    const points = all
        .list()
        .flatMap((a) => [a.state, a.home])
        .filter((p) => p && p.lat != null);
    return map.fit(points, 17);
}

function describe(event) {
    const v = event.VALUE;
    if (v == null || typeof v !== 'object') return JSON.stringify(v ?? null);
    const {AIRCRAFT, ...rest} = v;
    const text = JSON.stringify(rest);
    return text.length > 200 ? `${text.slice(0, 200)}…` : text;
}

function onEvent(event) {
    if (!event || typeof event !== 'object') return;
    const name = String(event.EVENT ?? '');
    if (name === 'WP_UPLOAD_PROGRESS') {
        const uploads = (e) => e.cmd === 'UploadWayLineMission' || e.cmd === 'ClickGo';
        commands.tracker.keepAlive(uploads);
        ops.onProgress(event.VALUE);
        // The event names no aircraft; while this page uploads to one, it is that one.
        const owners = new Set([...commands.tracker.pending.values()].filter(uploads).map((e) => e.aircraft));
        const owner = owners.size === 1 ? [...owners][0] : '';
        log.event(name, owner, Number.isFinite(event.VALUE) ? `${Math.round(event.VALUE)} %` : describe(event));
        return;
    }
    const note = fleet.apply(event);
    const serial = event.VALUE && typeof event.VALUE.AIRCRAFT === 'string' ? event.VALUE.AIRCRAFT : '';
    const a = serial ? fleet.get(serial) : null;
    // Status changes are worth listing even while telemetry is not.
    log.event(name, serial, note || describe(event), {kind: name === 'DISCONNECT' ? 'failed' : '', always: !!note});
    if (!a) return;
    updateAircraftOnMap(a);
    if (name === 'CONNECT') {
        fetchLimit(serial);
        if (selected === serial) readOnboard(serial);
        else leaveLost();
    } else if (name === 'DISCONNECT') {
        toast('warning', `${serial} lost`, 'The aircraft stopped answering.');
    } else if (name === 'MISSION_FINISHED') {
        toast('ok', `${serial} finished its mission`);
        if (map.targetOwner === serial) map.setTarget(null);
    } else if (name === 'FLIGHT_STATE') {
        if (serial === selected && follow && a.state && a.state.lat != null) map.centreOn(a.state);
        if (!fleetFitted && !store.mission.waypoints.length && fitFleet()) fleetFitted = true;
    }
    renderSoon();
}

async function syncFleet() {
    const result = await send('Aircraft list', 'GetAircraftList', undefined, {quiet: true});
    if (!result.ok) return;
    fleet.setList(result.reply.VALUE);
    for (const a of fleet.list()) {
        updateAircraftOnMap(a);
        if (a.connected && !limits.has(a.serial)) fetchLimit(a.serial);
    }
    leaveLost();
    if (selected) readOnboard(selected);
    renderNow();
}

// After a reload the aircraft chosen before; after a restart of the host
// a connected aircraft rather than one that is gone.
function leaveLost() {
    const current = selected && all.get(selected);
    if (current && current.connected) return;
    const next = all.get(preferred)?.connected ? preferred : all.list().find((a) => a.connected)?.serial;
    if (!next) return;
    selectAircraft(next);
    if (current) toast('info', `${api.name(current.serial)} is lost; now showing ${api.name(next)}`);
}

// Topics whose messages were refused are named in the console once each,
// not ten times a second; the set is bounded like everything from a broker.
const refusedTopics = new Set();
function refused(reason, topic) {
    if (refusedTopics.has(topic) || refusedTopics.size >= 256) return;
    refusedTopics.add(topic);
    console.warn(`broker message ignored: ${reason}`);
}

function onStationMessage(topic, text) {
    const wasOnline = stations.station(topic.split('/')[1])?.online;
    const result = stations.handle(topic, text);
    if (result.ignored) {
        refused(result.ignored, topic);
        return;
    }
    const {station, kind, event} = result;
    if (result.evicted) for (const serial of [...map.aircraft.keys()]) if (!all.get(serial)) map.removeAircraft(serial);
    if (kind === 'aircraft') {
        onStationAircraftEvent(result);
        return;
    }
    if (kind === 'event') {
        const name = String(event.EVENT);
        if (name === 'WP_UPLOAD_PROGRESS') {
            broker.tracker.keepAlive((e) => e.cmd === 'UploadWayLineMission' || e.cmd === 'ClickGo');
            const a = selected && all.get(selected);
            if (a && a.station === station) ops.onProgress(event.VALUE);
        }
        log.event(name, station, describe(event));
        return;
    }
    if (kind === 'status' && wasOnline && !stations.station(station).online)
        toast('warning', `Station ${station} offline`, 'Its aircraft cannot be commanded until it is back.');
    if (result.note) toast('warning', `Station ${station}`, result.note);
    if (kind === 'removed')
        for (const serial of [...map.aircraft.keys()]) if (!all.get(serial)) map.removeAircraft(serial);
    for (const a of stations.aircraft()) if (a.station === station) updateAircraftOnMap(a);
    if (!selected || !all.get(selected)) {
        const first = all.list().find((a) => a.connected);
        if (first) selectAircraft(first.serial);
    }
    stationPanel.render();
    renderSoon();
}

function onStationAircraftEvent({event, note, aircraft: a}) {
    const name = String(event.EVENT);
    log.event(name, a.serial, note || describe(event), {kind: name === 'DISCONNECT' ? 'failed' : '', always: !!note});
    updateAircraftOnMap(a);
    if (name === 'DISCONNECT') toast('warning', `${a.serial} lost`, 'The aircraft stopped answering its station.');
    else if (name === 'FLIGHT_STATE') {
        if (a.serial === selected && follow && a.state && a.state.lat != null) map.centreOn(a.state);
        if (!fleetFitted && !store.mission.waypoints.length && fitFleet()) fleetFitted = true;
    }
    if (name === 'CONNECT' || name === 'DISCONNECT') stationPanel.render();
    renderSoon();
}

// Replaces the broker connection with one to url, or none for ''. MQTT.js
// is loaded only then, so a page without a broker needs none of it.
let brokerError = '';
let brokerGeneration = 0;
async function startBroker(url) {
    const generation = ++brokerGeneration;
    if (broker) broker.stop();
    broker = null;
    for (const a of stations.aircraft()) map.removeAircraft(a.serial);
    stations.clear();
    if (selected && !all.get(selected)) selectAircraft(null);
    stationPanel.setLink(url ? {up: false} : null);
    stationPanel.render();
    renderNow();
    if (!url) return;
    let mqtt;
    try {
        mqtt = (await import('/vendor/mqtt/dist/mqtt.esm.js')).default;
    } catch (e) {
        toast('error', 'Broker', `MQTT.js could not be loaded from the host (npm install puts it there): ${e.message}`);
        return;
    }
    // Another URL was applied while this one waited.
    if (generation !== brokerGeneration) return;
    broker = new BrokerLink(url, mqtt.connect);
    broker.tracker.onChange((entry) => log.command(entry));
    broker.on('state', (state) => {
        stationPanel.setLink(state);
        if (state.up) brokerError = '';
    });
    broker.on('message', onStationMessage);
    // A broker that refuses us says so on every retry; once is enough.
    broker.on('error', (message) => {
        if (message === brokerError) return;
        brokerError = message;
        toast('error', 'Broker', message);
    });
    broker.on('stray', (text) =>
        refused(`a reply nobody waits for: ${text.slice(0, 200)}`, `reply ${text.slice(0, 60)}`),
    );
    broker.start();
}

function linkChanged(key, state) {
    links[key] = {...state, seen: links[key].seen || state.up || state.attempts > 0};
    log.links(links);
}

commands.tracker.onChange((entry) => log.command(entry));
commands.on('state', (state) => {
    linkChanged('commands', state);
    if (state.up) {
        syncFleet();
        waylines.refresh();
        refreshZones();
        queryZoneState();
        ops.scheduleCheck(0);
    }
});
commands.on('stray', (reply) => {
    if (reply && reply.ERROR === 'FAILURE') toast('error', 'The host refused a message', reply.ERROR_MESSAGE || '');
});
push.on('state', (state) => {
    linkChanged('events', state);
    // Events sent while the push connection was down are gone for good.
    if (state.up && commands.up) syncFleet();
});
push.on('event', onEvent);

store.on('changed', () => {
    log.refreshUndo();
    renderUndo();
    drawMission();
    renderSoon();
});

function renderUndo() {
    for (const [id, label, verb] of [
        ['btn-undo', store.history.undoLabel(), 'Undo'],
        ['btn-redo', store.history.redoLabel(), 'Redo'],
    ]) {
        $(id).disabled = !label;
        $(id).title = label
            ? `${verb}: ${label} (Ctrl+${verb === 'Undo' ? 'Z' : 'Shift+Z'})`
            : `Nothing to ${verb.toLowerCase()}`;
    }
}
missions.on('changed', () => {
    drawMission();
    renderSoon();
});
store.on('selected', () => drawMission());

map.on('addpoint', (p) => {
    store.add(p.lat, p.lng);
    showTab('mission');
});
map.on('selectwaypoint', (id) => {
    store.select(id);
    showTab('mission');
});
map.on('movewaypoint', (id, p) => store.updateWaypoint(id, {lat: p.lat, lng: p.lng}, 'structure'));
map.on('insertwaypoint', (index, p) => store.add(p.lat, p.lng, index));
map.on('selectaircraft', (serial) => selectAircraft(serial));
map.on('userpan', () => setFollow(false));

let zoneTimer = null;
function refreshZones() {
    clearTimeout(zoneTimer);
    zoneTimer = setTimeout(() => {
        const {zoom, centre} = map.view();
        // The service answers for 50 km around a point; a wider view would
        // suggest a completeness the answer does not have.
        if (zoom >= 8 && commands.up) queryZones({lat: centre.lat, lng: wrapDegrees(centre.lng)});
    }, 300);
}
map.on('moveend', refreshZones);
map.on('zoomed', () => drawMission());

function setFollow(on) {
    follow = on;
    $('btn-follow').setAttribute('aria-pressed', String(on));
    const a = selected && all.get(selected);
    if (on && a && a.state && a.state.lat != null) map.panTo(a.state);
}

for (const tab of document.querySelectorAll('.tabs [role="tab"]'))
    tab.addEventListener('click', () => showTab(tab.id.replace('tab-', '')));
for (const b of document.querySelectorAll('#map-modes button')) {
    b.addEventListener('click', () => {
        for (const other of document.querySelectorAll('#map-modes button'))
            other.setAttribute('aria-pressed', String(other === b));
        map.setMode(b.dataset.mode);
    });
}
$('btn-fit').addEventListener('click', () => {
    if (!fitFleet()) toast('info', 'No aircraft has reported a position yet');
});
$('btn-fit-mission').addEventListener('click', () => {
    if (!map.fit(store.mission.waypoints)) toast('info', 'The mission has no waypoints yet');
});
$('btn-follow').addEventListener('click', () => setFollow(!follow));
$('pick-cancel').addEventListener('click', () => map.cancelPick());
$('fleet-refresh').addEventListener('click', () => syncFleet());
$('btn-clear').addEventListener('click', () => {
    if (!store.mission.waypoints.length) return;
    const fresh = {...store.mission, waypoints: []};
    if (store.replace(fresh, 'clear the mission')) toast('info', 'Mission cleared', '', undoOffer());
});
$('btn-undo').addEventListener('click', () => store.undo());
$('btn-redo').addEventListener('click', () => store.redo());
document.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') map.cancelPick();
    const typing =
        e.target instanceof HTMLInputElement ||
        e.target instanceof HTMLSelectElement ||
        e.target instanceof HTMLTextAreaElement;
    // Fields keep their own undo while the cursor is in them.
    if ((e.ctrlKey || e.metaKey) && !typing && ['z', 'Z', 'y'].includes(e.key)) {
        e.preventDefault();
        if (e.key === 'y' || e.shiftKey) store.redo();
        else store.undo();
        return;
    }
    if (
        (e.key === 'Delete' || e.key === 'Backspace') &&
        !typing &&
        store.selectedId != null &&
        !$('pane-mission').hidden
    )
        store.remove(store.selectedId);
});
log.onResize = () => map.invalidate();

for (const b of document.querySelectorAll('[data-needs-aircraft]')) b.disabled = true;
// Telemetry that stops shows up as stale without any event to trigger it.
setInterval(() => {
    renderNow();
    for (const a of all.list()) if (a.connected && all.isStale(a)) updateAircraftOnMap(a);
}, 1000);
loadTrails(fleet, window.sessionStorage);
setInterval(() => saveTrails(fleet, window.sessionStorage), 5000);
window.addEventListener('pagehide', () => saveTrails(fleet, window.sessionStorage));

map.loadBase('/vendor/world-atlas/countries-50m.json').catch((e) =>
    toast('warning', 'The base map could not be loaded', e.message),
);
if (store.mission.waypoints.length) {
    map.fit(store.mission.waypoints);
    fleetFitted = true;
}
drawMission();
renderUndo();
commands.start();
push.start();
startBroker(stationPanel.url());

// For scripted checks of the page.
window.oru = {fleet, stations, store, missions, map, commands, push, zones, broker: () => broker};
