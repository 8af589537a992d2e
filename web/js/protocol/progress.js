// Upload progress as the bar shows it. The aircraft reports one event for
// the mission header and one per waypoint, each as a percentage; the events
// name no aircraft and may overshoot, so the bar only ever moves forward and
// stops at 100.
export class UploadProgress {
    constructor() {
        this.reset();
    }

    reset() {
        this.state = 'idle';
        this.percent = 0;
        this.count = 0;
        this.message = '';
    }

    start(count) {
        this.state = 'uploading';
        this.percent = 0;
        this.count = count;
        this.message = '';
    }

    // Returns true when the shown value changed.
    report(value) {
        if (this.state !== 'uploading' || !Number.isFinite(value)) return false;
        const next = Math.min(100, Math.max(this.percent, value));
        if (next === this.percent) return false;
        this.percent = next;
        return true;
    }

    finish(ok, message = '') {
        if (this.state !== 'uploading') return;
        this.state = ok ? 'done' : 'failed';
        if (ok) this.percent = 100;
        this.message = message;
    }

    // How many of the waypoints have gone over, judged from the percentage.
    get sentWaypoints() {
        const steps = Math.round((this.percent * (this.count + 1)) / 100);
        return Math.max(0, Math.min(this.count, steps - 1));
    }

    get label() {
        switch (this.state) {
            case 'uploading':
                return this.percent === 0 ? 'Sending mission…' : `Waypoint ${this.sentWaypoints} of ${this.count} sent`;
            case 'done':
                return `Uploaded ${this.count} waypoints`;
            case 'failed':
                return `Upload failed${this.message ? `: ${this.message}` : ''}`;
            default:
                return '';
        }
    }
}
