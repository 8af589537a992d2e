// The fleet list: one card per aircraft with its live state, a broker
// station's aircraft tagged with its station; a click makes it the active
// aircraft.
import {$, h} from './dom.js';
import {formatSpeed} from '../model/units.js';

const COLORS_KEY = 'oru.colors';
const MAX_COLORS = 256;
const PALETTE = ['#1e6fd9', '#e07b00', '#2a9d5b', '#b23fc4', '#d1343f', '#0f8c9c', '#7a6a00', '#5b5fc7'];

export const STATUS_TEXT = {
    ON_GROUND: 'On ground',
    TAKING_OFF: 'Taking off',
    HOVERING: 'Hovering',
    MISSION: 'Flying mission',
    MISSION_PAUSED: 'Mission paused',
    GOING_HOME: 'Going home',
    LANDING: 'Landing',
};

export function colorIndex(serial) {
    let hash = 0;
    for (const c of String(serial)) hash = (hash * 31 + c.codePointAt(0)) >>> 0;
    return hash % PALETTE.length;
}

export function statusText(status) {
    return STATUS_TEXT[status] || status || '–';
}

export class FleetPanel {
    constructor(fleet, onSelect, onForget, storage = null) {
        this.fleet = fleet;
        this.onSelect = onSelect;
        this.onForget = onForget;
        this.storage = storage;
        this.colors = new Map();
        try {
            const saved = JSON.parse(storage?.getItem(COLORS_KEY) || '[]');
            for (const [serial, i] of Array.isArray(saved) ? saved : [])
                if (typeof serial === 'string' && PALETTE[i]) this.colors.set(serial, i);
        } catch (e) {
            // Damaged: colours are given anew.
        }
        this.cards = new Map();
        this.list = $('fleet-list');
    }

    // A serial number keeps its colour across reloads: the first free one
    // from its hash when it is first seen, remembered in the browser.
    color(serial) {
        if (!this.colors.has(serial)) {
            const taken = new Set(this.fleet.list().map((a) => this.colors.get(a.serial)));
            const start = colorIndex(serial);
            const free = PALETTE.map((_, i) => (start + i) % PALETTE.length).find((i) => !taken.has(i));
            this.colors.set(serial, free ?? start);
            while (this.colors.size > MAX_COLORS) this.colors.delete(this.colors.keys().next().value);
            try {
                this.storage?.setItem(COLORS_KEY, JSON.stringify([...this.colors]));
            } catch (e) {
                // Storage refused: the colours hold until the page closes.
            }
        }
        return PALETTE[this.colors.get(serial)] || PALETTE[0];
    }

    render(selected) {
        const all = this.fleet.list();
        $('fleet-empty').hidden = all.length > 0;
        for (const a of all) {
            let card = this.cards.get(a.serial);
            if (!card) {
                card = this.build(a);
                this.cards.set(a.serial, card);
            }
            this.fill(card, a, a.serial === selected);
        }
        for (const serial of [...this.cards.keys()]) {
            if (!this.fleet.get(serial)) this.cards.delete(serial);
        }
        const wanted = all.map((a) => this.cards.get(a.serial).root);
        if (wanted.some((el, i) => this.list.children[i] !== el)) this.list.replaceChildren(...wanted);
    }

    build(a) {
        const parts = {
            sn: h('span'),
            station: h('span', {class: 'station-tag'}),
            state: h('span', {class: 'state'}),
            meta: h('span', {class: 'meta'}),
            status: h('span'),
            height: h('span'),
            speed: h('span'),
            battery: h('span'),
            forget: h('button', {
                type: 'button',
                class: 'ghost small forget',
                text: 'Forget',
                title: 'Remove this lost aircraft from the list',
                onclick: (e) => {
                    e.stopPropagation();
                    this.onForget(a.serial);
                },
            }),
        };
        parts.root = h(
            'li',
            {
                class: 'aircraft',
                role: 'option',
                tabindex: '0',
                dataset: {serial: a.serial, station: a.station || ''},
                onclick: () => this.onSelect(a.serial),
                onkeydown: (e) => (e.key === 'Enter' || e.key === ' ') && this.onSelect(a.serial),
            },
            h('span', {class: 'swatch', style: `background:${this.color(a.serial)}`}),
            h('span', {class: 'name'}, parts.sn, parts.station),
            parts.state,
            parts.meta,
            h('div', {class: 'stats'}, parts.status, parts.height, parts.speed, parts.battery, parts.forget),
        );
        return parts;
    }

    fill(card, a, selected) {
        card.root.setAttribute('aria-selected', String(selected));
        card.sn.textContent = a.sn || a.serial;
        card.station.textContent = a.station || '';
        card.station.hidden = !a.station;
        const stale = a.connected && this.fleet.isStale(a) && a.telemetryAt > 0;
        const state = !a.connected ? 'lost' : stale ? 'stale' : 'connected';
        card.state.className = `state ${state}`;
        const age = stale ? ` ${Math.round((Date.now() - a.telemetryAt) / 1000)} s` : '';
        card.state.textContent = {lost: 'Lost', stale: `No telemetry for${age}`, connected: 'Connected'}[state];
        card.root.dataset.state = state;
        card.forget.hidden = state !== 'lost';
        // The device hash tells aircraft apart only to a technician.
        card.meta.textContent = `Type ${a.type ?? '?'} · device …${a.rc ? a.rc.slice(-6) : '?'}`;
        card.meta.title = `Flight type ${a.type ?? '?'}; device hash ${a.rc || 'unknown'}`;
        const s = a.state;
        card.status.textContent = s ? statusText(s.status) : 'No telemetry yet';
        card.height.textContent = s && s.height != null ? `${s.height.toFixed(1)} m` : '';
        card.speed.textContent = s && s.speed != null ? formatSpeed(s.speed) : '';
        const pct = a.battery ? a.battery.percent : null;
        card.battery.textContent = pct != null ? `Battery ${Math.round(pct)} %` : '';
        card.battery.className = pct != null && pct < 20 ? 'battery-low' : '';
    }
}
