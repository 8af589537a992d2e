// The page's two WebSocket connections to the host: commands (request and
// reply) and pushed events. Both reconnect by themselves.
import {Emitter} from '../model/emitter.js';
import {RequestTracker} from './requests.js';

const BACKOFF_MS = [500, 1000, 2000, 4000, 5000];

class ReconnectingSocket extends Emitter {
    constructor(
        url,
        {
            WebSocketImpl = globalThis.WebSocket,
            setTimer = (fn, ms) => setTimeout(fn, ms),
            clearTimer = (t) => clearTimeout(t),
        } = {},
    ) {
        super();
        this.url = url;
        this.WebSocketImpl = WebSocketImpl;
        this.setTimer = setTimer;
        this.clearTimer = clearTimer;
        this.socket = null;
        this.up = false;
        this.attempts = 0;
        this.downSince = Date.now();
        this.retryTimer = null;
        this.stopped = false;
    }

    start() {
        this.stopped = false;
        this.open();
    }

    stop() {
        this.stopped = true;
        if (this.retryTimer != null) this.clearTimer(this.retryTimer);
        this.retryTimer = null;
        if (this.socket) this.socket.close();
    }

    open() {
        this.retryTimer = null;
        let socket;
        try {
            socket = new this.WebSocketImpl(this.url);
        } catch (e) {
            this.scheduleRetry();
            return;
        }
        this.socket = socket;
        socket.onopen = () => {
            this.up = true;
            this.attempts = 0;
            this.emit('state', {up: true});
            this.opened();
        };
        socket.onmessage = (event) => {
            let message;
            try {
                message = JSON.parse(event.data);
            } catch (e) {
                this.emit('garbage', String(event.data));
                return;
            }
            this.received(message);
        };
        socket.onclose = () => {
            if (this.socket !== socket) return;
            this.socket = null;
            const wasUp = this.up;
            this.up = false;
            if (wasUp) this.downSince = Date.now();
            this.closed();
            this.emit('state', {up: false, since: this.downSince, attempts: this.attempts});
            this.scheduleRetry();
        };
        // Errors are always followed by a close, which does the work.
        socket.onerror = () => {};
    }

    scheduleRetry() {
        if (this.stopped || this.retryTimer != null) return;
        const delay = BACKOFF_MS[Math.min(this.attempts, BACKOFF_MS.length - 1)];
        this.attempts += 1;
        this.retryTimer = this.setTimer(() => this.open(), delay);
    }

    opened() {}
    closed() {}
    received() {}
}

export class CommandChannel extends ReconnectingSocket {
    constructor(url, options = {}) {
        super(url, options);
        this.tracker = options.tracker || new RequestTracker();
    }

    // Resolves with {ok, reply, message, entry}; never rejects.
    async send(cmd, value, options = {}) {
        const entry = this.tracker.create(cmd, value, options);
        if (!this.up || !this.socket) {
            this.tracker.fail(entry, 'not connected to the host');
        } else {
            try {
                this.socket.send(JSON.stringify(entry.message));
            } catch (e) {
                this.tracker.fail(entry, `could not send: ${e.message}`);
            }
        }
        const result = await entry.promise;
        return {...result, entry};
    }

    closed() {
        this.tracker.dropAll('the connection to the host closed before an answer came');
    }

    received(message) {
        if (!this.tracker.settle(message)) this.emit('stray', message);
    }
}

export class PushChannel extends ReconnectingSocket {
    received(message) {
        this.emit('event', message);
    }
}
