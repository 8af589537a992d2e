// The buttons that command the active aircraft: each names the aircraft,
// says on hover what it does, and is disabled with the reason when the
// aircraft's state rules it out.
import {$} from './dom.js';

// [button, key in commandState, verb, what it does; {name} is the aircraft]
const BUTTONS = [
    ['btn-takeoff', 'takeoff', 'Take off', '{name} climbs to 10 m above home and hovers.'],
    ['btn-land', 'land', 'Land', '{name} lands where it is now; a running mission ends.'],
    ['btn-hold', 'hold', 'Hold', '{name} brakes and hovers where it is; its mission or fly-here leg waits for Resume.'],
    ['btn-resume', 'resume', 'Resume', '{name} goes on with the mission or fly-here leg it holds.'],
    ['btn-home', 'home', 'Return home', '{home}'],
    [
        'btn-flyhere',
        'flyhere',
        'Fly {name} to…',
        'Pick a point on the map; {name} flies there straight away. The leg replaces the mission on {name}.',
    ],
    [
        'btn-start',
        'start',
        'Start',
        '{name} flies the mission it holds from its first waypoint (taking off first on the ground).',
    ],
    ['btn-pause', 'pause', 'Pause', '{name} brakes and hovers; Continue goes on.'],
    ['btn-continue', 'cont', 'Continue', '{name} goes on with its paused mission.'],
    ['btn-cancel', 'cancel', 'Cancel', '{name} ends its mission and hovers where it is; the mission stays on it.'],
    [
        'btn-simstart',
        'simulation',
        'Place {name} at…',
        'Pick a point on the map; {name} stands there on the ground, home there, battery full, and its simulation runs.',
    ],
    [
        'btn-simstop',
        'simulation',
        'Freeze',
        '{name} stops where it is and reports nothing until its simulation starts again.',
    ],
];

export function renderControls(a, state, {home = ''} = {}) {
    const name = a ? a.sn || a.serial : '';
    const fill = (text) => text.replaceAll('{name}', name || 'the aircraft').replace('{home}', home);
    for (const [id, key, verb, what] of BUTTONS) {
        const button = $(id);
        const text = verb.includes('{name}') ? fill(verb) : name ? `${verb} ${name}` : verb;
        if (button.textContent !== text) button.textContent = text;
        button.disabled = !!state[key];
        button.title = state[key] || fill(what);
    }
    $('btn-upload').textContent = name ? `Upload to ${name}` : 'Upload to aircraft';
    $('btn-download').textContent = name ? `Download from ${name}` : 'Download from aircraft';
}
