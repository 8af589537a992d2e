// The Flight tab: the active aircraft's telemetry and limits, and the
// commands that fly it directly.
import {$, busy, setText} from './dom.js';
import {degToRad, distance} from '../geo/earth.js';
import {formatDistance, formatSpeed, formatCoordinate, formatDuration} from '../model/units.js';
import {statusText} from './fleetpanel.js';

export class FlightPanel {
    constructor(api) {
        this.api = api;
        const on = (id, handler) => $(id).addEventListener('click', (e) => busy(e.currentTarget, handler));
        on('btn-takeoff', () => this.aircraftCommand('Take off', 'DoFunction', {FUNCTION: 'TAKE_OFF'}));
        on('btn-land', () => this.aircraftCommand('Land', 'DoFunction', {FUNCTION: 'LAND'}));
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

    readNumber(id, low, high, what) {
        const input = $(id);
        const value = Number(input.value);
        const ok = input.value !== '' && Number.isFinite(value) && value >= low && value <= high;
        input.classList.toggle('invalid', !ok);
        if (!ok) this.api.toast('error', `${what} must be between ${low} and ${high}.`);
        return ok ? value : null;
    }

    async flyHere() {
        const serial = this.api.selected();
        const speed = this.readNumber('go-speed', 0.5, 20, 'The fly-here speed');
        const height = this.readNumber('go-height', 1, 500, 'The fly-here height');
        if (!serial || speed == null || height == null) return;
        const point = await this.api.pick(`Click where ${serial} should fly (${speed} m/s, ${height} m).`);
        if (!point) return;
        this.api.map.setTarget(point, serial);
        const result = await this.aircraftCommand('Fly here', 'ClickGo', {
            LATI: degToRad(point.lat),
            LONTI: degToRad(point.lng),
            SPEED: speed,
            HEIGHT: height,
        });
        if (!result || !result.ok) this.api.map.setTarget(null);
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

    render(a, limit) {
        setText('ac-name', a ? a.serial : 'none selected');
        const s = a && a.state;
        const dim = !a || !a.connected;
        setText('tm-status', s ? statusText(s.status) : a ? (a.connected ? 'No telemetry yet' : 'Lost') : '–', dim);
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
