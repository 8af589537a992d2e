// The event and command log under the map, the toasts that report failures,
// and the banner that says when a connection to the host is down.
import {$, h, timeOfDay} from './dom.js';

const MAX_ROWS = 400;
// More would cover the map.
const MAX_TOASTS = 3;
const TELEMETRY = new Set(['FLIGHT_STATE', 'BATTERY_STATE']);

export class LogPanel {
    constructor() {
        this.events = $('log-events');
        this.commands = $('log-commands');
        this.commandRows = new Map();
        this.eventCount = 0;
        this.telemetryHidden = 0;
        this.showTelemetry = false;
        this.toasts = $('toasts');
        for (const tab of document.querySelectorAll('.log-tabs button')) {
            tab.addEventListener('click', () => {
                for (const t of document.querySelectorAll('.log-tabs button'))
                    t.setAttribute('aria-selected', String(t === tab));
                this.events.hidden = tab.dataset.log !== 'events';
                this.commands.hidden = tab.dataset.log !== 'commands';
                $('log').classList.remove('collapsed');
            });
        }
        $('log-telemetry').addEventListener('change', (e) => {
            this.showTelemetry = e.target.checked;
        });
        $('log-toggle').addEventListener('click', (e) => {
            const collapsed = $('log').classList.toggle('collapsed');
            e.target.textContent = collapsed ? 'Show' : 'Hide';
            e.target.setAttribute('aria-expanded', String(!collapsed));
            this.emitResize();
        });
        this.onResize = null;
    }

    emitResize() {
        if (this.onResize) this.onResize();
    }

    static isTelemetry(name) {
        return TELEMETRY.has(name);
    }

    // One pushed event. Telemetry arrives ten times a second per aircraft
    // and is listed only on request.
    event(name, aircraft, detail, {kind = '', always = false} = {}) {
        if (TELEMETRY.has(name) && !this.showTelemetry && !always) {
            this.telemetryHidden += 1;
            return;
        }
        this.eventCount += 1;
        $('log-events-count').textContent = String(this.eventCount);
        this.prepend(
            this.events,
            h(
                'li',
                {class: kind, dataset: {event: name}},
                h('span', {class: 't', text: timeOfDay()}),
                h('span', {class: 'a', text: aircraft || '–'}),
                h('span', {class: 'e', text: name}),
                h('span', {class: 'd', text: detail, title: detail}),
            ),
        );
    }

    prepend(list, row) {
        list.prepend(row);
        while (list.childElementCount > MAX_ROWS) list.lastElementChild.remove();
    }

    // Called on every state change of a tracked command.
    command(entry) {
        let row = this.commandRows.get(entry.seq);
        if (!row) {
            row = h(
                'li',
                {dataset: {seq: entry.seq, cmd: entry.cmd}},
                h('span', {class: 't', text: timeOfDay(entry.sentAt)}),
                h('span', {class: 'a', text: entry.aircraft || '–'}),
                h('span', {class: 'e', text: entry.cmd}),
                h('span', {class: 'd'}),
            );
            this.commandRows.set(entry.seq, row);
            this.prepend(this.commands, row);
            if (this.commandRows.size > MAX_ROWS) this.commandRows.delete(this.commandRows.keys().next().value);
            $('log-commands-count').textContent = String(this.commands.childElementCount);
        }
        const took = entry.answeredAt ? ` after ${((entry.answeredAt - entry.sentAt) / 1000).toFixed(1)} s` : '';
        const text = {
            pending: `${entry.label}: waiting for the answer…`,
            unanswered: `${entry.label}: no answer after 15 s (still waiting)`,
            ok: `${entry.label}: done${took}${entry.late ? ' (late)' : ''}`,
            failed: `${entry.label}: failed — ${entry.error}`,
        }[entry.state];
        row.className = entry.state;
        row.dataset.state = entry.state;
        row.querySelector('.d').textContent = text;
        row.querySelector('.d').title = text;
    }

    // kind: 'error' | 'warning' | 'ok' | 'info'. undo: offered while valid()
    // says the edit it undoes is still the last one.
    toast(kind, title, text = '', {undo = null, valid = () => true, sticky = false} = {}) {
        // The same news again replaces the older toast rather than stacking up.
        for (const old of this.toasts.children) if (old.dataset.title === title) old.remove();
        const close = h('button', {class: 'close', type: 'button', title: 'Dismiss', text: '×'});
        const el = h(
            'div',
            {class: `toast ${kind}`, role: kind === 'error' ? 'alert' : 'status', dataset: {title}},
            h('div', {}, h('div', {class: 'title', text: title}), text ? h('div', {class: 'text', text}) : null),
            close,
            undo
                ? h('button', {
                      class: 'small secondary undo',
                      type: 'button',
                      text: 'Undo',
                      onclick: () => {
                          if (valid()) undo();
                          el.remove();
                      },
                  })
                : null,
        );
        el.undoValid = valid;
        close.addEventListener('click', () => el.remove());
        this.toasts.prepend(el);
        while (this.toasts.childElementCount > MAX_TOASTS) this.toasts.lastElementChild.remove();
        if (!sticky) setTimeout(() => el.remove(), kind === 'error' || kind === 'warning' ? 15000 : 6000);
        return el;
    }

    // An Undo whose edit is no longer the last one would undo another; it goes.
    refreshUndo() {
        for (const el of this.toasts.children) if (el.undoValid && !el.undoValid()) el.querySelector('.undo')?.remove();
    }

    // links: {commands: state, events: state}, each {up, since, attempts}
    links(links) {
        const down = [];
        for (const [key, pill, label] of [
            ['commands', 'link-commands', 'Commands'],
            ['events', 'link-events', 'Live events'],
        ]) {
            const s = links[key];
            $(pill).dataset.state = s && s.up ? 'up' : 'down';
            if (s && !s.up && s.seen) down.push(`${label} down since ${timeOfDay(s.since)}`);
        }
        const banner = $('link-banner');
        banner.hidden = down.length === 0;
        banner.parentElement.classList.toggle('link-down', down.length > 0);
        banner.textContent = down.length ? `${down.join(' · ')} — reconnecting…` : '';
    }
}
