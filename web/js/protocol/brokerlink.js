// The page's MQTT 5 connection to a broker's WebSocket listener: the
// stations' topics in, requests out on oru/NAME/request with this page's
// Response Topic and Correlation Data, replies matched by the latter.
// connect is MQTT.js's, handed in so this module loads without a page.
import {Emitter} from '../model/emitter.js';
import {RequestTracker} from './requests.js';
import {SUBSCRIPTIONS} from '../model/stationfleet.js';

// Returns the URL as a string, or throws an Error saying what is wrong.
export function checkBrokerUrl(text) {
    let url;
    try {
        url = new URL(String(text).trim());
    } catch (e) {
        throw new Error('not a URL; write it like ws://127.0.0.1:9001', {cause: e});
    }
    if (url.protocol !== 'ws:' && url.protocol !== 'wss:')
        throw new Error(`the broker's WebSocket listener is reached with ws:// or wss://, not ${url.protocol}//`);
    if (!url.port && url.protocol === 'ws:') throw new Error("the URL needs the listener's port, e.g. ws://host:9001");
    return url.href;
}

const randomId = () => Math.random().toString(36).slice(2, 10);

export class BrokerLink extends Emitter {
    constructor(url, connect, {tracker = new RequestTracker()} = {}) {
        super();
        this.url = url;
        this.connect = connect;
        this.tracker = tracker;
        this.client = null;
        this.up = false;
        this.downSince = Date.now();
        this.attempts = 0;
        const user = decodeURIComponent(new URL(url).username) || 'operator';
        // Under oru-reply/<user>/, where a broker's ACL lets operators read.
        this.replyTopic = `oru-reply/${user}/${randomId()}`;
    }

    start() {
        const client = this.connect(this.url, {
            protocolVersion: 5,
            clean: true,
            clientId: `oru-page-${randomId()}`,
            reconnectPeriod: 2000,
            connectTimeout: 10000,
            resubscribe: false,
        });
        this.client = client;
        // A stopped link's client may still report its closing; nobody listens.
        const on = (name, handler) => client.on(name, (...args) => this.client === client && handler(...args));
        on('connect', () => this.onConnect());
        on('close', () => this.onClose());
        on('reconnect', () => (this.attempts += 1));
        on('error', (e) => this.emit('error', e && e.message ? e.message : String(e)));
        on('message', (topic, payload, packet) => this.onMessage(topic, payload, packet));
    }

    stop() {
        const client = this.client;
        this.client = null;
        if (client) client.end(true);
        this.up = false;
        this.tracker.dropAll('the broker was turned off');
    }

    onConnect() {
        this.up = true;
        this.attempts = 0;
        // A clean session forgets subscriptions, so each connection makes its own.
        this.client.subscribe([...SUBSCRIPTIONS, this.replyTopic], {qos: 1}, (error) => {
            if (error) this.emit('error', `subscribing failed: ${error.message}`);
        });
        this.emit('state', {up: true});
    }

    onClose() {
        if (this.up) this.downSince = Date.now();
        const wasUp = this.up;
        this.up = false;
        // Replies go to a topic of this session only; one cut off is lost.
        this.tracker.dropAll('the connection to the broker closed before an answer came');
        if (wasUp || this.attempts > 0) this.emit('state', {up: false, since: this.downSince, attempts: this.attempts});
    }

    onMessage(topic, payload, packet) {
        const text = new TextDecoder().decode(payload);
        if (topic !== this.replyTopic) {
            this.emit('message', topic, text);
            return;
        }
        const correlation = packet && packet.properties && packet.properties.correlationData;
        const seq = correlation ? new TextDecoder().decode(correlation) : '';
        let reply;
        try {
            reply = JSON.parse(text);
        } catch (e) {
            reply = null;
        }
        // The bridge's own refusals may lack "SEQ"; the correlation names the request.
        const settled = reply && typeof reply === 'object' && seq && this.tracker.settle({...reply, SEQ: seq});
        if (!settled) this.emit('stray', text);
    }

    // Resolves with {ok, reply, message, entry}; never rejects.
    async send(station, cmd, value, options = {}) {
        const entry = this.tracker.create(cmd, value, options);
        if (!this.up || !this.client) {
            this.tracker.fail(entry, 'not connected to the broker');
        } else {
            this.client.publish(
                `oru/${station}/request`,
                JSON.stringify(entry.message),
                {
                    qos: 1,
                    properties: {
                        responseTopic: this.replyTopic,
                        correlationData: new TextEncoder().encode(entry.seq),
                    },
                },
                (error) => error && this.tracker.fail(entry, `could not send: ${error.message}`),
            );
        }
        const result = await entry.promise;
        return {...result, entry};
    }
}
