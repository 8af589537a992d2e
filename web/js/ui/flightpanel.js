// The Flight tab: the active aircraft's telemetry and limits, and the
// commands that fly it directly.
import {$, busy, setText} from './dom.js';
import {degToRad, distance} from '../geo/earth.js';
import {formatDistance, formatSpeed, formatCoordinate, formatDuration} from '../model/units.js';
import {statusText} from './fleetpanel.js';
import {confirmAction} from './confirm.js';

// The height the aircraft returns home at by itself: 20 m, or higher if it already is.
const RETURN_HEIGHT_M = 20;

export class FlightPanel {
    constructor(api) {
        this.api = api;
        const on = (id, handler) => $(id).addEventListener('click', (e) => busy(e.currentTarget, handler));
        on('btn-takeoff', () => this.aircraftCommand('Take off', 'DoFunction', {FUNCTION: 'TAKE_OFF'}));
        on('btn-land', () => this.land());
        on('btn-hold', () => this.aircraftCommand('Hold', 'PauseOrContinueWayLineMission', {PAUSE: 1}));
        on('btn-resume', () => this.aircraftCommand('Resume', 'PauseOrContinueWayLineMission', {PAUSE: 0}));
        on('btn-home', () => this.returnHome());
        on('btn-navmode', () => {
            const mode = Number($('nav-mode').value);
            const label = $('nav-mode').selectedOptions[0].textContent;
            return this.aircraftCommand(`Navigation mode ${label}`, 'SetNavigationMode', {NAVIGATION_MODE: mode});
        });
        on('btn-flyhere', () => this.flyHere());
        on('btn-simstart', () => this.startSimulation());
        on('btn-simstop', () => this.aircraftCommand('Stop simulation', 'StopSimulation', {}));
    }

    async aircraftCommand(label, cmd, value) {
        const serial = this.api.selected();
        if (!serial) return null;
        return this.api.send(label, cmd, {AIRCRAFT: serial, ...value}, {aircraft: serial});
    }

    // Out-of-range text stays in the field and is named beside it.
    readNumber(id, low, high, what) {
        const input = $(id);
        const value = Number(input.value);
        const ok = input.value !== '' && Number.isFinite(value) && value >= low && value <= high;
        input.classList.toggle('invalid', !ok);
        return ok
            ? {value}
            : {problem: `${what} "${input.value}" is not taken: enter a number from ${low} to ${high}.`};
    }

    goValues() {
        const speed = this.readNumber('go-speed', 0.5, 20, 'Speed');
        const height = this.readNumber('go-height', 2, 500, 'Height');
        const problem = [speed.problem, height.problem].filter(Boolean).join(' ');
        $('go-error').textContent = problem;
        $('go-error').hidden = !problem;
        return problem ? null : {speed: speed.value, height: height.value};
    }

    async land() {
        const name = this.api.name(this.api.selected());
        const ok = await confirmAction({
            title: `Land ${name}?`,
            text: `${name} lands where it is now; a running mission or fly-here leg ends.`,
            ok: `Land ${name}`,
            danger: true,
        });
        if (ok) await this.aircraftCommand('Land', 'DoFunction', {FUNCTION: 'LAND'});
    }

    async flyHere() {
        const serial = this.api.selected();
        const go = this.goValues();
        if (!serial || !go) return;
        const name = this.api.name(serial);
        const point = await this.api.pick(
            `Click where ${name} should fly (${go.speed} m/s, ${go.height} m above home); the leg replaces the mission on ${name}.`,
        );
        if (!point) return;
        await this.goTo(serial, point, go, 'Fly here', 'fly-here leg');
    }

    async goTo(serial, point, {speed, height}, label, what) {
        this.api.map.setTarget(point, serial);
        const result = await this.aircraftCommand(label, 'ClickGo', {
            LATI: degToRad(point.lat),
            LONTI: degToRad(point.lng),
            SPEED: speed,
            HEIGHT: height,
        });
        if (result && result.ok) this.api.missions.flewHere(serial, point, height, what);
        else {
            this.api.map.setTarget(null);
            // A chain that failed half-way may have left the leg on the aircraft.
            this.api.readOnboard(serial);
        }
    }

    // There is no return-home command: a fly-here to the home point does it.
    homeHeight(a) {
        const limit = this.api.limit(a.serial);
        const height = Math.max(RETURN_HEIGHT_M, Math.round(a.state?.height ?? 0));
        return limit && limit.maxHeight > 0 ? Math.min(height, limit.maxHeight) : height;
    }

    homeLeg(a) {
        if (!a) return '';
        const name = a.sn || a.serial;
        const speed = this.goValues()?.speed ?? 5;
        return `${name} flies straight to its home at ${this.homeHeight(a)} m above home and ${speed} m/s (the fly-here speed), then hovers there; Land sets it down. The leg replaces the mission on ${name}.`;
    }

    async returnHome() {
        const serial = this.api.selected();
        const a = serial && this.api.fleet.get(serial);
        const go = this.goValues();
        if (!a || !a.home || !go) return;
        await this.goTo(
            serial,
            a.home,
            {speed: go.speed, height: this.homeHeight(a)},
            'Return home',
            'return-home leg',
        );
    }

    async startSimulation() {
        const serial = this.api.selected();
        if (!serial) return;
        const point = await this.api.pick(`Click where ${serial} should stand when the simulation starts.`);
        if (!point) return;
        const result = await this.aircraftCommand('Start simulation', 'StartSimulation', {
            LATI: degToRad(point.lat),
            LONTI: degToRad(point.lng),
        });
        if (result && result.ok) this.api.fitSelected();
    }

    render(a, limit, age = null) {
        setText('ac-name', a ? a.serial : 'none selected');
        const s = a && a.state;
        const dim = !a || !a.connected || age != null;
        const old = age != null ? ` · ${age} s old` : '';
        setText(
            'tm-status',
            s ? `${statusText(s.status)}${old}` : a ? (a.connected ? 'No telemetry yet' : 'Lost') : '–',
            dim,
        );
        setText('tm-height', s && s.height != null ? `${s.height.toFixed(1)} m` : '–', dim);
        setText('tm-speed', s ? formatSpeed(s.speed) : '–', dim);
        setText('tm-climb', s && s.vz != null ? formatSpeed(s.vz) : '–', dim);
        setText('tm-yaw', s && s.yaw != null ? `${Math.round((s.yaw + 360) % 360) % 360}°` : '–', dim);
        const b = a && a.battery;
        setText(
            'tm-battery',
            b && b.percent != null
                ? `${Math.round(b.percent)} %${b.remaining != null ? ` · ${formatDuration(b.remaining)}` : ''}`
                : '–',
            dim,
        );
        setText(
            'tm-waypoint',
            s && s.waypointIndex != null && s.waypointIndex >= 0 ? `waypoint ${s.waypointIndex + 1}` : '–',
            dim,
        );
        const away = s && a.home && s.lat != null ? distance({lat: s.lat, lng: s.lng}, a.home) : NaN;
        setText('tm-home', formatDistance(away), dim);
        setText('tm-position', s ? formatCoordinate(s.lat, s.lng) : '–', dim);
        setText(
            'tm-limits',
            limit ? `up to ${limit.maxHeight} m high, ${formatDistance(limit.maxDistance)} from home` : '–',
            !limit,
        );
    }
}
