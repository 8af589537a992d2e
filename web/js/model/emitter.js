// Minimal publish/subscribe for the page's shared state.
export class Emitter {
    constructor() {
        this.handlers = new Map();
    }

    on(name, handler) {
        if (!this.handlers.has(name)) this.handlers.set(name, new Set());
        this.handlers.get(name).add(handler);
        return () => this.handlers.get(name).delete(handler);
    }

    emit(name, ...args) {
        for (const handler of this.handlers.get(name) || []) handler(...args);
    }
}
