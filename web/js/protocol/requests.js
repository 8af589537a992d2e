// Bookkeeping of commands sent to the host: sequence strings, matching
// replies, and marking commands that stay unanswered. The service never
// times a command out, so the page does it for the user's sake only: an
// unanswered command stays open and a late answer is still taken.
import {oneBased} from '../model/commandstate.js';

export const ANSWER_TIMEOUT_MS = 15000;

// Replies that the host builds itself may carry no "ERROR" at all (the
// wayline list, a loaded wayline); only an explicit outcome other than
// "SUCCESS" is a failure.
export function isFailure(reply) {
    return reply != null && typeof reply === 'object' && 'ERROR' in reply && reply.ERROR !== 'SUCCESS';
}

export function failureText(reply) {
    return oneBased(rawFailureText(reply));
}

function rawFailureText(reply) {
    if (!reply || typeof reply !== 'object') return 'no reason given';
    const message = typeof reply.ERROR_MESSAGE === 'string' ? reply.ERROR_MESSAGE.trim() : '';
    const code = reply.ERROR_CODE != null ? `error code ${reply.ERROR_CODE}` : '';
    if (message && code) return `${message} (${code})`;
    return (
        message ||
        code ||
        (typeof reply.ERROR === 'string' && reply.ERROR !== 'FAILURE' ? reply.ERROR : 'no reason given')
    );
}

export class RequestTracker {
    constructor({
        timeoutMs = ANSWER_TIMEOUT_MS,
        setTimer = (fn, ms) => setTimeout(fn, ms),
        clearTimer = (t) => clearTimeout(t),
        prefix = null,
    } = {}) {
        this.timeoutMs = timeoutMs;
        this.setTimer = setTimer;
        this.clearTimer = clearTimer;
        this.prefix = prefix || Math.random().toString(36).slice(2, 8);
        this.counter = 0;
        this.pending = new Map();
        this.listeners = new Set();
    }

    onChange(listener) {
        this.listeners.add(listener);
        return () => this.listeners.delete(listener);
    }

    notify(entry) {
        for (const l of this.listeners) l(entry);
    }

    // Returns the entry: {seq, cmd, message, state, promise, ...}. The
    // promise resolves with {ok, reply, message}; it never rejects.
    create(cmd, value, {label = cmd, aircraft = '', onUnanswered = null} = {}) {
        const seq = `${this.prefix}-${++this.counter}`;
        const message = {CMD: cmd, SEQ: seq};
        if (value !== undefined) message.VALUE = value;
        const entry = {
            seq,
            cmd,
            label,
            aircraft,
            message,
            state: 'pending',
            sentAt: Date.now(),
            answeredAt: null,
            error: '',
            onUnanswered,
            timer: null,
            resolve: null,
            promise: null,
        };
        entry.promise = new Promise((resolve) => {
            entry.resolve = resolve;
        });
        this.pending.set(seq, entry);
        this.arm(entry);
        this.notify(entry);
        return entry;
    }

    arm(entry) {
        if (entry.timer != null) this.clearTimer(entry.timer);
        entry.timer = this.setTimer(() => {
            entry.timer = null;
            if (entry.state !== 'pending') return;
            entry.state = 'unanswered';
            this.notify(entry);
            if (entry.onUnanswered) entry.onUnanswered(entry);
        }, this.timeoutMs);
    }

    // A sign of life from a long command (upload progress) restarts its clock.
    keepAlive(predicate) {
        for (const entry of this.pending.values()) {
            if (predicate(entry)) {
                if (entry.state === 'unanswered') entry.state = 'pending';
                this.arm(entry);
            }
        }
    }

    // Returns the entry the reply belongs to, or null.
    settle(reply) {
        const seq = reply && typeof reply === 'object' ? reply.SEQ : undefined;
        const entry = typeof seq === 'string' ? this.pending.get(seq) : undefined;
        if (!entry) return null;
        this.pending.delete(seq);
        if (entry.timer != null) this.clearTimer(entry.timer);
        entry.timer = null;
        const late = entry.state === 'unanswered';
        const failed = isFailure(reply);
        entry.state = failed ? 'failed' : 'ok';
        entry.late = late;
        entry.answeredAt = Date.now();
        entry.error = failed ? failureText(reply) : '';
        this.notify(entry);
        entry.resolve({ok: !failed, reply, message: entry.error});
        return entry;
    }

    // Fails one command before it got anywhere (no connection to send it on).
    fail(entry, reason) {
        if (!this.pending.delete(entry.seq)) return;
        if (entry.timer != null) this.clearTimer(entry.timer);
        entry.timer = null;
        entry.state = 'failed';
        entry.error = reason;
        this.notify(entry);
        entry.resolve({ok: false, reply: null, message: reason});
    }

    // The connection went away: nothing sent on it can be answered now.
    dropAll(reason) {
        for (const entry of [...this.pending.values()]) this.fail(entry, reason);
    }
}
