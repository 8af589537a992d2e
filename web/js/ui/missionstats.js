// The mission's figures in the Mission tab: the way from the aircraft, the
// mission, the way back, the total, the battery it takes, the height
// profile and, while the aircraft flies this mission, its progress.
import {$, setText} from './dom.js';
import {missionStats, missionProgress, RESERVE_PERCENT} from '../model/missionstats.js';
import {CHOICES} from '../model/mission.js';
import {formatDistance, formatDuration} from '../model/units.js';
import {drawProfile} from './altitudeprofile.js';

const FLYING = new Set(['MISSION', 'MISSION_PAUSED']);
const figure = (f) => (f ? `${formatDistance(f.length)} · ${formatDuration(f.seconds)}` : '–');

function batteryText(b, endless) {
    const needed = `${Math.ceil(b.needed)} %${endless ? ' a pass' : ''}`;
    const more = b.needed > 100 ? '; more than a full battery' : '';
    if (b.atHand == null) return `${needed} of a full battery${more}`;
    const verdict = b.enough ? 'enough' : 'not enough';
    return `${needed} of ${Math.round(b.atHand)} % at hand, ${RESERVE_PERCENT} % kept: ${verdict}${more}`;
}

export class MissionStatsView {
    constructor() {
        this.drawn = '';
    }

    // a: the selected aircraft (fleetstate.js) or null; flown: whether it
    // was given what the editor shows.
    render(mission, a, flown) {
        const state = a && a.state && a.state.lat != null ? a.state : null;
        const here = state ? {lat: state.lat, lng: state.lng, alt: state.height ?? 0} : null;
        const flying = !!(flown && state && FLYING.has(state.status));
        const home = a && a.home ? a.home : null;
        const stats = missionStats(mission, {start: flying ? null : here, home, battery: a ? a.battery : null});
        $('mission-stats').hidden = !stats;
        if (!stats) return;
        const finish = CHOICES.finishAction.find(([code]) => code === mission.finishAction);
        setText('st-transit', flying ? 'under way' : here ? figure(stats.transit) : 'no aircraft position', !here);
        setText('st-mission-label', stats.runs > 1 ? `Mission, ${stats.runs} runs` : 'Mission');
        setText('st-mission', figure(stats.mission));
        setText('st-back-label', finish ? finish[1] : 'When finished');
        const none = mission.finishAction === 0 || stats.homeUnknown;
        setText('st-back', stats.homeUnknown ? 'home not known yet' : none ? 'stays there' : figure(stats.back), none);
        setText('st-total', figure(stats.total));
        setText('st-battery', batteryText(stats.battery, stats.endless));
        $('st-battery').classList.toggle('bad', stats.battery.enough === false);

        const progress = flying ? missionProgress(mission, here, state.waypointIndex, home) : null;
        $('mission-progress').hidden = !progress;
        let at = null;
        if (progress) {
            const percent = Math.round(progress.percent);
            $('mission-progress-fill').style.width = `${percent}%`;
            $('mission-progress-fill').setAttribute('aria-valuenow', String(percent));
            setText('mission-progress-percent', `${percent} %`);
            setText(
                'mission-progress-label',
                `${formatDistance(progress.length)} and ${formatDuration(progress.seconds)} to go`,
            );
            const pts = stats.profile.points;
            const end = pts[pts.length - 1].along;
            at = stats.profile.from + (progress.percent / 100) * (end - stats.profile.from);
        }
        // Redrawn only when something it shows changed.
        const key = JSON.stringify([stats.profile, at && Math.round(at)]);
        if (key !== this.drawn) {
            this.drawn = key;
            drawProfile($('alt-profile'), stats.profile, at);
        }
    }
}
