import {test, mock} from 'node:test';
import assert from 'node:assert/strict';
import {UploadProgress} from '../../web/js/protocol/progress.js';
import {RequestTracker, isFailure, failureText, ANSWER_TIMEOUT_MS} from '../../web/js/protocol/requests.js';

test('three waypoints fill the bar in four steps to 100 %, never back nor past it; a failure stops it', () => {
    const p = new UploadProgress();
    assert.equal(p.report(50), false, "nobody's upload");
    p.start(3);
    const seen = [25, 50, 25, 75, 100, 200].map((v) => (p.report(v), `${p.percent}% ${p.sentWaypoints}`));
    assert.deepEqual(seen, ['25% 0', '50% 1', '50% 1', '75% 2', '100% 3', '100% 3']);
    p.start(3);
    p.report(50);
    p.finish(false, 'too many waypoints');
    assert.deepEqual([p.percent, p.label], [50, 'Upload failed: too many waypoints'], 'a failure keeps how far it got');
});

test('only an outcome other than SUCCESS is a failure, and its text is never empty', () => {
    for (const [reply, text] of [
        [{ERROR: 'SUCCESS'}, null],
        [{VALUE: ['a']}, null],
        [{ERROR: 'FAILURE'}, 'no reason given'],
        [{ERROR: 'BUSY'}, 'BUSY'],
        [{ERROR: 'FAILURE', ERROR_MESSAGE: 'file not exists.'}, 'file not exists.'],
        [{ERROR: 'FAILURE', ERROR_MESSAGE: 'no mission', ERROR_CODE: 236}, 'no mission (error code 236)'],
    ])
        assert.deepEqual([isFailure(reply), text && failureText(reply)], [text !== null, text], JSON.stringify(reply));
});

test('replies match by sequence string only; a command unanswered after 15 s is marked so and takes a late answer', async (t) => {
    mock.timers.enable({apis: ['setTimeout', 'Date']});
    t.after(() => mock.timers.reset());
    const tr = new RequestTracker({prefix: 't'});
    const entry = tr.create('GetFlyLimit', {AIRCRAFT: 'A1'});
    const [upload, a, b] = ['UploadWayLineMission', 'DoFunction', 'DoFunction'].map((cmd) => tr.create(cmd, {}));
    assert.deepEqual(entry.message, {CMD: 'GetFlyLimit', SEQ: 't-1', VALUE: {AIRCRAFT: 'A1'}});
    const reply = {SEQ: b.seq, ERROR: 'FAILURE', ERROR_MESSAGE: 'not flying'};
    assert.deepEqual([tr.settle({SEQ: 'other'}), tr.settle({ERROR: 'FAILURE'})], [null, null]);
    assert.deepEqual([tr.settle(reply), a.state], [b, 'pending']);
    assert.deepEqual(await b.promise, {ok: false, reply, message: 'not flying'});
    // Progress on an upload restarts its clock.
    mock.timers.tick(ANSWER_TIMEOUT_MS - 1);
    tr.keepAlive((e) => e.cmd === 'UploadWayLineMission');
    assert.equal(entry.state, 'pending');
    mock.timers.tick(1);
    assert.deepEqual([entry.state, upload.state], ['unanswered', 'pending']);
    tr.settle({SEQ: 't-1', ERROR: 'SUCCESS', VALUE: {MAX_HEIGHT: 120}});
    assert.deepEqual([(await entry.promise).ok, entry.late], [true, true]);
});
