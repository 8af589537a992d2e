// Undo and redo of one draft: the mission as text before each edit, with
// what the edit did. Bounded in steps and in characters, since it is kept in
// the browser's storage beside the draft.
export const HISTORY_STEPS = 100;
export const HISTORY_CHARS = 400000;

const valid = (list) =>
    Array.isArray(list)
        ? list
              .filter((e) => e && typeof e.text === 'string' && typeof e.label === 'string')
              .map(({text, label}) => ({text, label}))
        : [];

export class History {
    constructor(steps = HISTORY_STEPS, chars = HISTORY_CHARS) {
        this.steps = steps;
        this.chars = chars;
        this.past = [];
        this.future = [];
        // Counts every edit, so a toast can tell whether its edit is still the last one.
        this.version = 0;
    }

    // before: the draft's text before the edit.
    record(before, label) {
        this.past.push({text: before, label});
        this.future = [];
        this.version += 1;
        this.trim();
        return this.version;
    }

    trim() {
        let size = [...this.past, ...this.future].reduce((n, e) => n + e.text.length, 0);
        while (this.past.length && (this.past.length + this.future.length > this.steps || size > this.chars))
            size -= this.past.shift().text.length;
    }

    // Each returns the text to go back (or forward) to, or null.
    undo(current) {
        return this.move(this.past, this.future, current);
    }

    redo(current) {
        return this.move(this.future, this.past, current);
    }

    // Takes the last step off one list and leaves current on the other.
    move(from, to, current) {
        const step = from.pop();
        if (!step) return null;
        to.push({text: current, label: step.label});
        this.version += 1;
        return step.text;
    }

    undoLabel() {
        return this.past.length ? this.past[this.past.length - 1].label : '';
    }

    redoLabel() {
        return this.future.length ? this.future[this.future.length - 1].label : '';
    }

    toJSON() {
        return {past: this.past, future: this.future};
    }

    static from(saved) {
        const history = new History();
        if (saved && typeof saved === 'object') {
            history.past = valid(saved.past);
            history.future = valid(saved.future);
            history.trim();
        }
        return history;
    }
}
