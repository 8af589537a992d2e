import {test, mock} from 'node:test';
import assert from 'node:assert/strict';
import {UploadProgress} from '../../web/js/progress.js';
import {RequestTracker, isFailure, failureText, ANSWER_TIMEOUT_MS} from '../../web/js/requests.js';

test('three waypoints fill the bar in four steps to 100 %, never back nor past it; a failure stops it', () => {
    const p = new UploadProgress();
    assert.equal(p.report(50), false, 'nobody\'s upload');
    p.start(3);
    const seen = [25, 50, 25, 75, 100, 200].map((v) => (p.report(v), [p.percent, p.sentWaypoints]));
    assert.deepEqual(seen, [[25, 0], [50, 1], [50, 1], [75, 2], [100, 3], [100, 3]]);
    p.start(3);
    p.report(50);
    p.finish(false, 'too many waypoints');
    assert.deepEqual([p.percent, p.label], [50, 'Upload failed: too many waypoints'], 'a failure keeps how far it got');
});

test('only an outcome other than SUCCESS is a failure, and its text is never empty', () => {
    for (const [reply, failed] of [[{ERROR: 'SUCCESS'}, false], [{ERROR: 'FAILURE'}, true], [{VALUE: ['a']}, false], [{ERROR: 'BUSY'}, true]])
        assert.equal(isFailure(reply), failed, JSON.stringify(reply));
    assert.equal(failureText({ERROR: 'FAILURE', ERROR_MESSAGE: 'no mission running', ERROR_CODE: 236}),
                 'no mission running (error code 236)');
    assert.equal(failureText({ERROR: 'FAILURE', ERROR_MESSAGE: 'file not exists.'}), 'file not exists.');
    assert.equal(failureText({ERROR: 'FAILURE'}), 'no reason given');
});

function tracker(t) {
    mock.timers.enable({apis: ['setTimeout', 'Date']});
    t.after(() => mock.timers.reset());
    return new RequestTracker({prefix: 't'});
}

test('a command unanswered after 15 s is marked so and still takes a late answer; progress restarts the clock', async (t) => {
    const tr = tracker(t);
    const entry = tr.create('GetFlyLimit', {AIRCRAFT: 'A1'});
    const upload = tr.create('UploadWayLineMission', {});
    assert.deepEqual(entry.message, {CMD: 'GetFlyLimit', SEQ: 't-1', VALUE: {AIRCRAFT: 'A1'}});
    mock.timers.tick(ANSWER_TIMEOUT_MS - 1);
    tr.keepAlive((e) => e.cmd === 'UploadWayLineMission');
    assert.equal(entry.state, 'pending');
    mock.timers.tick(1);
    assert.deepEqual([entry.state, upload.state], ['unanswered', 'pending']);
    tr.settle({SEQ: 't-1', ERROR: 'SUCCESS', VALUE: {MAX_HEIGHT: 120}});
    assert.deepEqual([(await entry.promise).ok, entry.late], [true, true]);
});

test('replies are matched by sequence string only; strangers are not taken', async (t) => {
    const tr = tracker(t);
    const [a, b] = [tr.create('DoFunction', {}), tr.create('DoFunction', {})];
    const reply = {SEQ: b.seq, ERROR: 'FAILURE', ERROR_MESSAGE: 'not flying'};
    assert.deepEqual([tr.settle({SEQ: 'other'}), tr.settle({ERROR: 'FAILURE'}), tr.settle(reply), a.state], [null, null, b, 'pending']);
    assert.deepEqual(await b.promise, {ok: false, reply, message: 'not flying'});
});
