// The broker's stations under the fleet, and the setting that opts the page
// into them: a broker URL kept in the browser, none by default.
import {$, h, setText} from './dom.js';
import {checkBrokerUrl} from '../protocol/brokerlink.js';

const STATE_TEXT = {online: 'Online', offline: 'Offline', unknown: 'No status yet'};

export class StationPanel {
    constructor(stations, storage, onApply) {
        this.stations = stations;
        this.storage = storage;
        this.onApply = onApply;
        $('broker-url').value = this.url();
        $('broker-apply').addEventListener('click', () => this.apply());
        $('broker-url').addEventListener('keydown', (e) => e.key === 'Enter' && this.apply());
    }

    // A stored URL that is no longer valid counts as none.
    url() {
        try {
            return checkBrokerUrl(this.storage.getItem('oru.brokerUrl') || '');
        } catch (e) {
            return '';
        }
    }

    apply() {
        const text = $('broker-url').value.trim();
        let url;
        try {
            url = text ? checkBrokerUrl(text) : '';
        } catch (e) {
            this.showError(`Broker URL: ${e.message}.`);
            return;
        }
        this.showError('');
        if (url) this.storage.setItem('oru.brokerUrl', url);
        else this.storage.removeItem('oru.brokerUrl');
        $('broker-url').value = url;
        this.onApply(url);
    }

    showError(text) {
        setText('broker-error', text);
        $('broker-error').hidden = !text;
        $('broker-url').classList.toggle('invalid', !!text);
    }

    // state: null without a broker, else {up}
    setLink(state) {
        $('link-broker').hidden = !state;
        $('link-broker').dataset.state = state && state.up ? 'up' : 'down';
        $('stations').hidden = !state;
        const waiting =
            state && !state.up ? `Connecting to ${new URL(this.url()).host}…` : 'No station has reported yet.';
        setText('stations-empty', waiting);
    }

    render() {
        const rows = this.stations.list().map((s) => {
            const state = s.online == null ? 'unknown' : s.online ? 'online' : 'offline';
            const count = s.fleet.list().filter((a) => a.connected).length;
            return h(
                'li',
                {class: 'station', dataset: {station: s.name, state}},
                h('span', {class: 'name', text: s.name}),
                h('span', {class: `state ${state === 'online' ? 'connected' : 'lost'}`, text: STATE_TEXT[state]}),
                h('span', {class: 'meta', text: `${count} aircraft`}),
            );
        });
        $('station-list').replaceChildren(...rows);
        $('stations-empty').hidden = rows.length > 0;
    }
}
