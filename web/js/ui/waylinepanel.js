// The Waylines tab: missions kept on the host by name, and mission files.
import {$, h, busy, download} from './dom.js';
import {missionToWire, missionFromWire} from '../model/mission.js';
import {missionToPlan, planToMission, missionToGeoJSON, PLAN_LIMITS} from '../model/planfile.js';
import {confirmAction} from './confirm.js';

// The host stores a wayline as a file of exactly this name.
export function waylineNameProblem(name) {
    if (!name) return 'Give the wayline a name.';
    if (name.length > 80) return 'The name is longer than 80 characters.';
    if (/[/\\]/.test(name)) return 'The name may not contain / or \\.';
    if (name.startsWith('.')) return 'The name may not start with a dot.';
    // eslint-disable-next-line no-control-regex
    if (/[\u0000-\u001f\u007f]/.test(name)) return 'The name may not contain control characters.';
    return '';
}

const fileName = (name, ext) => `${(name || 'mission').replace(/[^\w.-]+/g, '_')}.${ext}`;

export class WaylinePanel {
    constructor(api, store) {
        this.api = api;
        this.store = store;
        const on = (id, handler) => $(id).addEventListener('click', (e) => busy(e.currentTarget, handler));
        on('btn-save', () => this.save());
        on('btn-wl-refresh', () => this.refresh());
        $('wl-name').addEventListener('keydown', (e) => {
            if (e.key === 'Enter') $('btn-save').click();
        });
        $('wl-name').addEventListener('input', () => this.showNameProblem(''));
        $('plan-file').addEventListener('change', (e) => this.importFile(e.target));
        $('btn-export-plan').addEventListener('click', () => this.exportPlan());
        $('btn-export-geojson').addEventListener('click', () => this.exportGeoJSON());
    }

    showNameProblem(text) {
        $('wl-name-error').hidden = !text;
        $('wl-name-error').textContent = text;
        $('wl-name').classList.toggle('invalid', !!text);
    }

    async save() {
        const name = $('wl-name').value.trim();
        const problem =
            waylineNameProblem(name) ||
            (this.store.mission.waypoints.length ? '' : 'The mission has no waypoints to save.');
        this.showNameProblem(problem);
        if (problem) return;
        // Asked afresh: another client may have saved one under the name meanwhile.
        const names = await this.refresh();
        if (names.includes(name)) {
            const ok = await confirmAction({
                title: `Replace wayline "${name}"?`,
                text: `A wayline named "${name}" is already saved on the host. Saving replaces it, and the old one cannot be brought back.`,
                ok: `Replace "${name}"`,
                danger: true,
            });
            if (!ok) return;
        }
        const result = await this.api.send(`Save wayline "${name}"`, 'SaveWayline', {
            WAYLINE_NAME: name,
            WAYLINE: missionToWire(this.store.mission, this.api.home()),
        });
        if (result.ok) {
            this.api.toast('ok', `Wayline "${name}" saved on the host`);
            await this.refresh();
        }
    }

    async refresh() {
        const result = await this.api.send('List waylines', 'WayLineList', undefined);
        if (!result.ok) return [];
        const names = Array.isArray(result.reply.VALUE) ? result.reply.VALUE.filter((n) => typeof n === 'string') : [];
        $('wl-empty').hidden = names.length > 0;
        $('wl-list').replaceChildren(
            ...names.map((name) => {
                const load = h('button', {type: 'button', class: 'small secondary', text: 'Load'});
                load.addEventListener('click', () => busy(load, () => this.load(name)));
                return h('li', {dataset: {name}}, h('span', {class: 'wl-name', text: name, title: name}), load);
            }),
        );
        return names;
    }

    async load(name) {
        const result = await this.api.send(`Load wayline "${name}"`, 'GetWayLine', {WAYLINE: name});
        if (!result.ok) return;
        const {mission, notes} = missionFromWire(result.reply.VALUE);
        $('wl-name').value = name;
        this.api.replaceMission(mission, `wayline "${name}"`, notes);
    }

    async importFile(input) {
        const file = input.files && input.files[0];
        input.value = '';
        if (!file) return;
        if (file.size > PLAN_LIMITS.fileBytes) {
            const mb = PLAN_LIMITS.fileBytes / 1048576;
            this.api.toast('error', `Could not import ${file.name}`, `The file is larger than ${mb} MB; no plan is.`);
            return;
        }
        let parsed;
        try {
            parsed = planToMission(await file.text());
        } catch (e) {
            this.api.toast('error', `Could not import ${file.name}`, e.message);
            return;
        }
        const notes = $('import-notes');
        notes.replaceChildren(...parsed.notes.map((n) => h('li', {text: n})));
        notes.hidden = parsed.notes.length === 0;
        this.api.planOverlay.set(file.name, parsed.fences, parsed.rally);
        if (!parsed.mission.waypoints.length) {
            this.api.toast('warning', `${file.name} holds no waypoints this aircraft can fly`);
            return;
        }
        $('wl-name').value = file.name.replace(/\.(plan|json)$/i, '');
        this.api.replaceMission(parsed.mission, file.name, parsed.notes);
    }

    exportPlan() {
        const m = this.store.mission;
        if (!m.waypoints.length) return this.api.toast('warning', 'There are no waypoints to export');
        download(
            fileName($('wl-name').value.trim(), 'plan'),
            JSON.stringify(missionToPlan(m, this.api.home()), null, 2),
        );
    }

    exportGeoJSON() {
        const m = this.store.mission;
        if (!m.waypoints.length) return this.api.toast('warning', 'There are no waypoints to export');
        const name = $('wl-name').value.trim();
        download(
            fileName(name, 'geojson'),
            JSON.stringify(missionToGeoJSON(m, name || 'mission'), null, 2),
            'application/geo+json',
        );
    }
}
