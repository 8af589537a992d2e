// Asks before a command that moves an aircraft or loses work; the question
// names what will happen. Resolves true only for the button that does it.
import {$} from './dom.js';

let pending = null;

export function confirmAction({title, text, ok, danger = false}) {
    const dialog = $('confirm');
    if (pending) pending(false);
    $('confirm-title').textContent = title;
    $('confirm-text').textContent = text;
    $('confirm-ok').textContent = ok;
    $('confirm-ok').className = danger ? 'danger' : 'primary';
    return new Promise((resolve) => {
        const done = (answer) => {
            if (pending !== done) return;
            pending = null;
            if (dialog.open) dialog.close();
            resolve(answer);
        };
        pending = done;
        $('confirm-ok').onclick = () => done(true);
        $('confirm-cancel').onclick = () => done(false);
        // Esc closes a modal dialog without an answer.
        dialog.onclose = () => done(false);
        dialog.showModal();
    });
}
