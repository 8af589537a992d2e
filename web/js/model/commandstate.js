// Which commands can apply to an aircraft now, judged from its pushed
// FLIGHT_STATE, and why not; and the aircraft's refusals in the page's words.
const AIRBORNE = new Set(['TAKING_OFF', 'HOVERING', 'MISSION', 'MISSION_PAUSED', 'GOING_HOME', 'LANDING']);

// Each command maps to '' when it can apply, else the reason in words.
// a: fleet entry or null; holds: what the aircraft's mission record says
// ('none' when it holds none, else anything).
export function commandState(a, holds = '') {
    const name = a ? a.sn || a.serial : '';
    const all = (reason) =>
        Object.fromEntries(
            [
                'takeoff',
                'land',
                'hold',
                'resume',
                'home',
                'flyhere',
                'start',
                'pause',
                'cont',
                'cancel',
                'simulation',
            ].map((k) => [k, reason]),
        );
    if (!a) return all('Choose an aircraft first.');
    if (!a.connected) return all(`${name} is lost; it cannot be commanded until it answers again.`);
    const s = a.state && a.state.status;
    // A stopped simulation reports nothing, and is started again from here.
    if (!s) return {...all(`No telemetry from ${name} yet.`), flyhere: '', start: '', simulation: ''};
    const airborne = AIRBORNE.has(s);
    const running = s === 'MISSION' || s === 'MISSION_PAUSED' || (a.state.waypointIndex ?? -1) >= 0;
    const paused = s === 'MISSION_PAUSED';
    const nothing = (verb) =>
        s === 'GOING_HOME'
            ? `${name} is returning home by itself (battery or mission end); no command can ${verb} that. Land lands it where it is.`
            : `${name} flies no mission or fly-here leg (no mission is running), so there is nothing to ${verb}.`;
    const hold = !running ? nothing('hold') : paused ? `${name} is already holding; Resume goes on.` : '';
    const resume = !running ? nothing('resume') : paused ? '' : `${name} is not holding.`;
    return {
        takeoff: airborne ? `${name} is already airborne.` : '',
        land: !airborne ? `${name} is on the ground.` : s === 'LANDING' ? `${name} is already landing.` : '',
        hold,
        pause: hold,
        resume,
        cont: resume,
        cancel: running ? '' : nothing('cancel'),
        home: !airborne ? `${name} is on the ground.` : a.home ? '' : `${name} has not reported its home yet.`,
        flyhere: '',
        simulation: '',
        start: holds === 'none' ? `${name} holds no mission; upload one first.` : '',
    };
}

// The aircraft counts waypoints from 0; the page, like the operator, from 1.
export function oneBased(text) {
    return String(text).replace(/\bwaypoint (\d+)(?: to (\d+))?/g, (_, a, b) =>
        b == null ? `waypoint ${Number(a) + 1}` : `waypoint ${Number(a) + 1} to ${Number(b) + 1}`,
    );
}

// Refusals whose codes say more than their text; the text follows in brackets.
const PLAIN = {
    212: 'The aircraft holds no mission; upload one first.',
    213: 'The aircraft refused: its mission enters a no-fly zone.',
    236: 'No mission is running on the aircraft, so there is nothing to pause, continue or cancel.',
};

export function plainFailure(reply, message) {
    const code = reply && typeof reply === 'object' ? Number(reply.ERROR_CODE) : NaN;
    return PLAIN[code] ? `${PLAIN[code]} (${message})` : message;
}
