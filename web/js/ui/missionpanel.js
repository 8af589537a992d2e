// The Mission tab's editor: summary, waypoint list, the selected waypoint's
// values and actions, and the mission settings.
import {$, h, fillSelect} from './dom.js';
import {ACTION_TYPES, CHOICES, LIMITS, actionInfo, estimate} from '../model/mission.js';
import {formatDistance, formatDuration} from '../model/units.js';

const SETTINGS = [
    ['ms-finish', 'finishAction', CHOICES.finishAction],
    ['ms-rclost', 'rcLostAction', CHOICES.rcLostAction],
    ['ms-yaw', 'yawMode', CHOICES.yawMode],
    ['ms-trace', 'traceMode', CHOICES.traceMode],
    ['ms-gimbal', 'gimbalPitchMode', CHOICES.gimbalPitchMode],
    ['ms-gotofirst', 'gotoFirst', CHOICES.gotoFirst],
];

// [input id, waypoint field, low, high, whole number, empty allowed, name]
const WAYPOINT_FIELDS = [
    ['wp-alt', 'alt', 2, 500, false, false, 'height'],
    ['wp-speed', 'speed', 0.1, 20, false, true, 'speed'],
    ['wp-damping', 'damping', 0, 100, false, false, 'reached-within distance'],
    ['wp-yaw', 'yaw', -180, 180, true, false, 'yaw'],
    ['wp-pitch', 'gimbalPitch', -90, 30, true, false, 'gimbal pitch'],
    ['wp-repeat', 'actionRepeat', 0, 15, true, false, 'action repeat'],
    ['wp-timelimit', 'actionTimeLimit', 0, 65535, true, false, 'action time limit'],
];
const SETTING_FIELDS = [
    ['ms-idle', 'idleSpeed', 0.1, 20, false, 'cruise speed'],
    ['ms-range', 'maxSpeed', 0.1, 20, false, 'top speed'],
    ['ms-exec', 'execCount', 1, 255, true, 'executions'],
];

// Reads a field; text that is not taken is named in words, never dropped silently.
function readInput(input, low, high, whole, emptyAllowed, name) {
    const text = input.value.trim();
    if (text === '' && emptyAllowed) {
        input.classList.remove('invalid');
        return {ok: true, value: null};
    }
    const value = Number(text);
    const ok =
        text !== '' && Number.isFinite(value) && value >= low && value <= high && (!whole || Number.isInteger(value));
    input.classList.toggle('invalid', !ok);
    const problem = ok
        ? ''
        : `${name} "${text}" is not taken: enter ${whole ? 'a whole number' : 'a number'} from ${low} to ${high}`;
    input.title = problem;
    return {ok, value, problem};
}

export class MissionPanel {
    constructor(store) {
        this.store = store;
        this.flagged = new Set();
        // Field text that was not taken: key -> {text, problem, id (waypoint or null), field}
        this.problems = new Map();
        fillSelect($('wp-turn'), CHOICES.turnMode);
        fillSelect(
            $('wp-action-type'),
            ACTION_TYPES.map((a) => [a.type, a.label]),
        );
        for (const [id, , choices] of SETTINGS) fillSelect($(id), choices);

        for (const [id, field, low, high, whole, empty, name] of WAYPOINT_FIELDS) {
            $(id).addEventListener('change', (e) => {
                const w = store.selected();
                if (!w) return;
                const r = readInput(e.target, low, high, whole, empty, name);
                this.noteProblem(`${w.id}:${field}`, r, {id: w.id, field, text: e.target.value});
                if (r.ok) store.updateWaypoint(w.id, {[field]: r.value});
            });
        }
        $('wp-turn').addEventListener('change', (e) => {
            const w = store.selected();
            if (w) store.updateWaypoint(w.id, {turnMode: Number(e.target.value)});
        });
        $('wp-action-add').addEventListener('click', () => this.addAction());
        $('wp-prev').addEventListener('click', () => this.step(-1));
        $('wp-next').addEventListener('click', () => this.step(1));

        for (const [id, field] of SETTINGS)
            $(id).addEventListener('change', (e) => store.updateSettings({[field]: Number(e.target.value)}));
        for (const [id, field, low, high, whole, name] of SETTING_FIELDS)
            $(id).addEventListener('change', (e) => {
                const r = readInput(e.target, low, high, whole, false, name);
                this.noteProblem(`settings:${field}`, r, {id: null, field, text: e.target.value});
                if (r.ok) store.updateSettings({[field]: r.value});
            });

        store.on('changed', () => this.render());
        store.on('selected', () => this.render());
        this.render();
    }

    noteProblem(key, result, where) {
        if (result.ok) this.problems.delete(key);
        else this.problems.set(key, {...where, problem: result.problem});
        this.renderProblems();
        this.onProblems?.();
    }

    // The fields not taken, as findings of the checks panel.
    inputProblems() {
        const list = this.store.mission.waypoints;
        const found = [];
        for (const [key, p] of this.problems) {
            const i = p.id == null ? -1 : list.findIndex((w) => w.id === p.id);
            if (p.id != null && i < 0) {
                this.problems.delete(key);
                continue;
            }
            const where = i < 0 ? 'Mission settings' : `Waypoint ${i + 1}`;
            const action = p.field.startsWith('act:') && list[i].actions[Number(p.field.slice(4))];
            const kept = i < 0 ? this.store.mission[p.field] : action ? action.param : list[i][p.field];
            found.push({
                level: 'error',
                code: 'input',
                text: `${where}: ${p.problem}; it stays ${kept ?? 'empty'}.`,
                waypoints: i < 0 ? [] : [i],
            });
        }
        return found;
    }

    renderProblems() {
        const w = this.store.selected();
        const mine = (id) => [...this.problems.values()].filter((p) => p.id === id).map((p) => `${p.problem}.`);
        for (const [box, texts] of [
            ['wp-error', w ? mine(w.id) : []],
            ['ms-error', mine(null)],
        ]) {
            $(box).textContent = texts.join(' ');
            $(box).hidden = !texts.length;
        }
    }

    setFlagged(flagged) {
        this.flagged = flagged;
        this.renderList();
    }

    step(delta) {
        const list = this.store.mission.waypoints;
        const i = this.store.index();
        const next = list[i + delta];
        if (next) this.store.select(next.id);
    }

    addAction() {
        const w = this.store.selected();
        if (!w || w.actions.length >= LIMITS.maxActions) return;
        const info = actionInfo($('wp-action-type').value);
        this.store.updateWaypoint(w.id, {
            actions: [...w.actions, {type: info.type, param: info.param ? info.param.value : 0}],
        });
    }

    render() {
        const m = this.store.mission;
        const {length, seconds} = estimate(m);
        $('sum-count').textContent = String(m.waypoints.length);
        $('mission-count').textContent = String(m.waypoints.length);
        $('sum-length').textContent = m.waypoints.length > 1 ? formatDistance(length) : '–';
        $('sum-time').textContent = m.waypoints.length > 1 ? formatDuration(seconds) : '–';
        $('mission-hint').hidden = m.waypoints.length > 1;
        this.renderList();
        this.renderDetail();
        this.renderSettings();
    }

    renderList() {
        const m = this.store.mission;
        const rows = m.waypoints.map((w, i) => {
            const speed = w.speed != null ? `${w.speed} m/s` : 'cruise';
            const acts = w.actions.length ? `${w.actions.length} action${w.actions.length > 1 ? 's' : ''}` : '';
            const op = (text, title, handler, disabled = false) =>
                h('button', {
                    type: 'button',
                    title,
                    text,
                    disabled,
                    onclick: (e) => {
                        e.stopPropagation();
                        handler();
                    },
                });
            return h(
                'li',
                {
                    'aria-selected': String(w.id === this.store.selectedId),
                    class: this.flagged.has(i) ? 'flagged' : '',
                    dataset: {index: String(i + 1)},
                    onclick: () => this.store.select(w.id),
                },
                h('span', {class: 'num', text: String(i + 1)}),
                h(
                    'span',
                    {class: 'desc'},
                    `${Math.round(w.alt)} m · ${speed}`,
                    acts ? h('span', {class: 'muted', text: `· ${acts}`}) : null,
                ),
                h(
                    'span',
                    {class: 'ops'},
                    op('↑', 'Move up', () => this.store.move(i, i - 1), i === 0),
                    op('↓', 'Move down', () => this.store.move(i, i + 1), i === m.waypoints.length - 1),
                    op('✕', 'Delete', () => this.store.remove(w.id)),
                ),
            );
        });
        $('wp-list').replaceChildren(...rows);
        const current = $('wp-list').querySelector('[aria-selected="true"]');
        if (current) current.scrollIntoView({block: 'nearest'});
    }

    renderDetail() {
        const w = this.store.selected();
        $('wp-detail').hidden = !w;
        if (!w) return;
        const i = this.store.index();
        $('wp-number').textContent = `${i + 1} of ${this.store.mission.waypoints.length}`;
        $('wp-prev').disabled = i === 0;
        $('wp-next').disabled = i === this.store.mission.waypoints.length - 1;
        for (const [id, field] of WAYPOINT_FIELDS) {
            const input = $(id);
            const problem = this.problems.get(`${w.id}:${field}`);
            input.value = problem ? problem.text : w[field] == null ? '' : String(w[field]);
            input.classList.toggle('invalid', !!problem);
            input.title = problem ? problem.problem : '';
        }
        this.renderProblems();
        $('wp-speed').placeholder = `cruise (${this.store.mission.idleSpeed} m/s)`;
        $('wp-turn').value = String(w.turnMode);
        $('wp-action-count').textContent = `${w.actions.length} of ${LIMITS.maxActions}`;
        $('wp-action-add').disabled = w.actions.length >= LIMITS.maxActions;
        $('wp-actions').replaceChildren(...w.actions.map((a, k) => this.actionRow(w, a, k)));
    }

    actionRow(w, a, k) {
        const info = actionInfo(a.type);
        const update = (patch) => {
            const actions = w.actions.map((x, j) => (j === k ? {...x, ...patch} : x));
            this.store.updateWaypoint(w.id, {actions});
        };
        let param = h('span', {class: 'noparam', text: 'no setting'});
        if (info && info.param) {
            param = h('input', {
                type: 'number',
                value: String(a.param),
                min: String(info.param.min),
                max: String(info.param.max),
                step: String(info.param.step),
                title: `${info.param.label} (${info.param.unit})`,
                'aria-label': `${info.param.label} in ${info.param.unit}`,
            });
            param.addEventListener('change', () => {
                const r = readInput(param, info.param.min, info.param.max, true, false, info.param.label.toLowerCase());
                this.noteProblem(`${w.id}:act:${k}`, r, {id: w.id, field: `act:${k}`, text: param.value});
                if (r.ok) update({param: r.value});
            });
        }
        return h(
            'li',
            {},
            h('span', {class: 'n', text: `${k + 1}.`}),
            h('span', {text: info ? `${info.label}${info.param ? ` (${info.param.unit})` : ''}` : a.type}),
            param,
            h('button', {
                type: 'button',
                title: 'Remove action',
                text: '✕',
                onclick: () => this.store.updateWaypoint(w.id, {actions: w.actions.filter((_, j) => j !== k)}),
            }),
        );
    }

    renderSettings() {
        const m = this.store.mission;
        for (const [id, field] of SETTINGS) {
            const select = $(id);
            // A loaded mission may carry a code this page has no name for.
            if (![...select.options].some((o) => o.value === String(m[field])))
                select.append(h('option', {value: String(m[field]), text: `Code ${m[field]}`}));
            select.value = String(m[field]);
        }
        for (const [id, field] of SETTING_FIELDS) {
            if (!this.problems.has(`settings:${field}`)) $(id).value = String(m[field]);
        }
    }
}
