// The Mission tab's traffic with the aircraft: checks before upload, the
// upload with its progress bar, download of the aircraft's mission, and the
// start, pause, continue and cancel commands.
import {$, h, busy, timeOfDay} from './dom.js';
import {checkMission} from '../model/checks.js';
import {missionToWire, estimate} from '../model/mission.js';
import {samplePath} from '../geo/path.js';
import {zoneKey} from '../geo/zones.js';
import {UploadProgress} from '../protocol/progress.js';
import {formatDistance, formatDuration} from '../model/units.js';
import {confirmAction} from './confirm.js';

// The service answers zone queries within 50 km of a point and reuses its
// last answer near that point; samples 10 km apart keep every part of the
// path well inside an answered area.
const ZONE_SAMPLE_SPACING_M = 10000;
// Editing a mission runs the checks again and again; nearby answers are
// reused for a while instead of asking the host each time.
const ZONE_REUSE_MS = 60000;
const zoneCacheKey = (p) => `${p.lat.toFixed(3)},${p.lng.toFixed(3)}`;

export class MissionOps {
    constructor(api, store, panel) {
        this.api = api;
        this.store = store;
        this.panel = panel;
        this.progress = new UploadProgress();
        this.findings = [];
        this.checkTimer = null;
        this.checkRun = 0;
        this.uploading = false;
        this.zoneCache = new Map();
        panel.onProblems = () => this.scheduleCheck(0);

        const on = (id, handler) => $(id).addEventListener('click', (e) => busy(e.currentTarget, handler));
        on('btn-upload', () => this.upload(false));
        on('btn-upload-anyway', () => this.upload(true));
        $('btn-upload-cancel').addEventListener('click', () => {
            $('upload-confirm').hidden = true;
        });
        on('btn-download', () => this.download());
        on('btn-start', () => this.start());
        on('btn-cancel', () => this.cancel());
        on('btn-pause', () => this.command('Pause mission', 'PauseOrContinueWayLineMission', {PAUSE: 1}));
        on('btn-continue', () => this.command('Continue mission', 'PauseOrContinueWayLineMission', {PAUSE: 0}));
        $('onboard-hide').addEventListener('click', () => this.showOnboard(null));
        $('onboard-edit').addEventListener('click', () => {
            if (!this.onboard) return;
            const {mission, notes} = this.api.missions.editable(this.onboard.serial, this.onboard.wire);
            this.api.replaceMission(mission, `the mission of ${this.api.name(this.onboard.serial)}`, notes);
        });
        store.on('changed', () => {
            $('upload-confirm').hidden = true;
            // A finished bar would speak for a mission the editor no longer shows.
            if (!this.uploading) this.resetProgress();
            this.scheduleCheck();
        });
        this.scheduleCheck();
    }

    command(label, cmd, value) {
        const serial = this.api.selected();
        if (!serial) return null;
        return this.api.send(label, cmd, {AIRCRAFT: serial, ...value}, {aircraft: serial});
    }

    resetProgress() {
        if (this.uploading) return;
        this.progress.reset();
        this.renderProgress();
    }

    // Start flies what the aircraft holds; when that is not the editor's
    // mission, the operator is told what it is first.
    async start() {
        const serial = this.api.selected();
        if (!serial) return null;
        if (!this.api.missions.get(serial)) await this.api.readOnboard(serial);
        const name = this.api.name(serial);
        const holds = this.api.missions.compare(serial, this.store.mission, name);
        if (holds.state !== 'same') {
            const ok = await confirmAction({
                title: `Start ${name}?`,
                text: `${holds.text} Start it anyway?`,
                ok: `Start ${name} anyway`,
                danger: true,
            });
            if (!ok) return null;
        }
        return this.command('Start mission', 'StartOrCancelWayLineMission', {GO_STOP: 0});
    }

    async cancel() {
        const serial = this.api.selected();
        if (!serial) return null;
        const name = this.api.name(serial);
        const status = this.api.fleet.get(serial)?.state?.status;
        if (status && status !== 'ON_GROUND') {
            const ok = await confirmAction({
                title: `Cancel the mission of ${name}?`,
                text: `${name} ends its mission and hovers where it is. The mission stays on ${name}; Start flies it again from waypoint 1.`,
                ok: `Cancel the mission of ${name}`,
                danger: true,
            });
            if (!ok) return null;
        }
        return this.command('Cancel mission', 'StartOrCancelWayLineMission', {GO_STOP: 1});
    }

    scheduleCheck(delay = 400) {
        clearTimeout(this.checkTimer);
        this.checkTimer = setTimeout(() => this.runChecks(), delay);
    }

    async zonesAlong(points, fresh) {
        if (!points.length) return {zones: []};
        const samples = samplePath(points, ZONE_SAMPLE_SPACING_M);
        const found = new Map();
        for (const p of samples) {
            const key = zoneCacheKey(p);
            let result = this.zoneCache.get(key);
            if (fresh || !result || Date.now() - result.at > ZONE_REUSE_MS) {
                result = await this.api.queryZones(p);
                if (!result.ok) return {zones: null, error: result.message};
                this.zoneCache.set(key, {...result, at: Date.now()});
            }
            for (const z of result.zones) found.set(zoneKey(z), z);
        }
        return {zones: [...found.values()]};
    }

    // fresh: ask the host again, as right before an upload.
    async runChecks(fresh = false) {
        const run = ++this.checkRun;
        clearTimeout(this.checkTimer);
        $('checks-state').textContent = 'checking…';
        const mission = this.store.mission;
        const {zones, error} = await this.zonesAlong(mission.waypoints, fresh);
        if (run !== this.checkRun) return this.findings;
        const serial = this.api.selected();
        const aircraft = serial ? this.api.fleet.get(serial) : null;
        const findings = [
            ...this.panel.inputProblems(),
            ...checkMission(mission, {
                zones,
                zoneError: error,
                flyLimit: serial ? this.api.limit(serial) : null,
                home: aircraft ? aircraft.home : null,
                start:
                    aircraft && aircraft.state && aircraft.state.lat != null
                        ? {...aircraft.state, alt: aircraft.state.height ?? 0}
                        : null,
                battery: aircraft ? aircraft.battery : null,
                fences: this.api.planOverlay.fences,
                rally: this.api.planOverlay.rally,
            }),
        ];
        this.findings = findings;
        this.renderChecks(findings, zones);
        $('checks-state').textContent = `checked ${timeOfDay()}`;
        return findings;
    }

    renderChecks(findings, zones) {
        const flagged = new Set(findings.flatMap((f) => f.waypoints));
        this.panel.setFlagged(flagged);
        this.api.missionFlagged(flagged);
        const empty = !this.store.mission.waypoints.length;
        const serial = this.api.selected();
        $('btn-upload').disabled = empty || !serial;
        $('btn-upload').title = !serial
            ? 'Choose an aircraft first.'
            : empty
              ? 'Add waypoints on the map first.'
              : `Sends the editor's mission to ${this.api.name(serial)}, replacing the one it holds; Start flies it.`;
        const items = empty
            ? [h('li', {class: 'hint', text: 'Add waypoints on the map to check the mission.'})]
            : findings.map((f) => h('li', {class: f.level, dataset: {code: f.code}, text: f.text}));
        if (!findings.length && !empty) {
            const near = zones
                ? ` (${zones.length} no-fly zone${zones.length === 1 ? '' : 's'} nearby, none entered)`
                : '';
            items.push(h('li', {class: 'ok', text: `Within the aircraft's limits${near}.`}));
        }
        $('checks-list').replaceChildren(...items);
    }

    async upload(confirmed) {
        const serial = this.api.selected();
        if (!serial || this.uploading) return;
        $('upload-confirm').hidden = true;
        const findings = await this.runChecks(true);
        if (findings.length && !confirmed) {
            $('upload-confirm').hidden = false;
            return;
        }
        const mission = this.store.mission;
        const aircraft = this.api.fleet.get(serial);
        const home = aircraft && aircraft.home ? {...aircraft.home, alt: 0} : null;
        const wire = missionToWire(mission, home);
        const name = this.api.name(serial);
        const sent = JSON.parse(JSON.stringify(mission));
        this.uploading = true;
        this.progress.start(mission.waypoints.length);
        this.progressName = name;
        this.renderProgress();
        try {
            const result = await this.api.send(
                'Upload mission',
                'UploadWayLineMission',
                {AIRCRAFT: serial, WAYLINE: wire},
                {
                    aircraft: serial,
                    onUnanswered: () => this.renderProgress('No answer from the aircraft for 15 s; still waiting…'),
                },
            );
            this.progress.finish(result.ok, result.message);
            this.renderProgress();
            if (result.ok) {
                const {length, seconds} = estimate(mission);
                this.api.toast(
                    'ok',
                    `Mission uploaded to ${name}`,
                    `${sent.waypoints.length} waypoints, ${formatDistance(length)}, about ${formatDuration(seconds)}.`,
                );
                this.api.missions.uploaded(serial, sent, wire);
            }
        } finally {
            this.uploading = false;
        }
        if (!this.api.missions.get(serial) || this.progress.state === 'failed') this.api.readOnboard(serial);
    }

    // A pushed "WP_UPLOAD_PROGRESS"; it names no aircraft, so only an upload
    // this page started moves the bar.
    onProgress(value) {
        if (this.progress.report(Number(value))) this.renderProgress();
    }

    renderProgress(note = '') {
        const p = this.progress;
        const box = $('upload-progress');
        box.hidden = p.state === 'idle';
        box.dataset.state = p.state;
        $('upload-fill').style.width = `${p.percent}%`;
        $('upload-fill').setAttribute('aria-valuenow', String(Math.round(p.percent)));
        $('upload-percent').textContent = `${Math.round(p.percent)} %`;
        $('upload-label').textContent = note || (p.state === 'idle' ? '' : `${this.progressName}: ${p.label}`);
    }

    async download() {
        const serial = this.api.selected();
        if (!serial) return;
        const result = await this.command('Download mission', 'DownloadWayLineMission', {});
        if (!result || !result.ok) return;
        const wire = result.reply.VALUE && typeof result.reply.VALUE === 'object' ? result.reply.VALUE : {};
        this.api.missions.reported(serial, wire);
        this.showOnboard({serial, wire});
    }

    showOnboard(onboard) {
        this.onboard = onboard;
        $('onboard-panel').hidden = !onboard;
        if (!onboard) {
            this.api.map.setOnboard(null);
            return;
        }
        const {mission, notes} = this.api.missions.editable(onboard.serial, onboard.wire);
        const {length, seconds} = estimate(mission);
        const name = this.api.name(onboard.serial);
        $('onboard-summary').textContent = mission.waypoints.length
            ? `${name} holds ${mission.waypoints.length} waypoints, ${formatDistance(length)}, about ${formatDuration(seconds)} (dashed purple on the map).`
            : `${name} holds no waypoints.`;
        $('onboard-notes').textContent = notes.join(' ');
        this.api.map.setOnboard(mission);
        if (mission.waypoints.length) this.api.map.fit(mission.waypoints);
    }
}
