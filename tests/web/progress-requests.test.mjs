import {test, mock} from 'node:test';
import assert from 'node:assert/strict';
import {UploadProgress} from '../../web/js/progress.js';
import {RequestTracker, isFailure, failureText, ANSWER_TIMEOUT_MS} from '../../web/js/requests.js';

test('three waypoints fill the bar in four steps to 100 %', () => {
    const p = new UploadProgress();
    p.start(3);
    const seen = [];
    for (const v of [25, 50, 75, 100]) {
        p.report(v);
        seen.push([p.percent, p.sentWaypoints]);
    }
    assert.deepEqual(seen, [[25, 0], [50, 1], [75, 2], [100, 3]]);
    p.finish(true);
    assert.equal(p.label, 'Uploaded 3 waypoints');
});

test('the bar never goes back nor past 100, and ignores events of nobody\'s upload', () => {
    const p = new UploadProgress();
    assert.equal(p.report(50), false);
    assert.equal(p.percent, 0);
    p.start(1);
    p.report(100);
    p.report(200);
    assert.equal(p.percent, 100);
    p.start(3);
    p.report(75);
    assert.equal(p.report(25), false);
    assert.equal(p.percent, 75);
});

test('a failed upload keeps how far it got and the reason', () => {
    const p = new UploadProgress();
    p.start(3);
    p.report(25);
    p.report(50);
    p.finish(false, 'too many waypoints');
    assert.equal(p.percent, 50);
    assert.equal(p.label, 'Upload failed: too many waypoints');
});

const outcomes = [
    ['a success reply', {ERROR: 'SUCCESS'}, false],
    ['a failure reply', {ERROR: 'FAILURE', ERROR_MESSAGE: 'x'}, true],
    ['the wayline list, which carries no outcome', {VALUE: ['a']}, false],
    ['an outcome other than SUCCESS', {ERROR: 'BUSY'}, true],
];

for (const [name, reply, failed] of outcomes) {
    test(`${name} is ${failed ? '' : 'not '}a failure`, () => assert.equal(isFailure(reply), failed));
}

test('failure texts combine the message and the code, and never come out empty', () => {
    assert.equal(failureText({ERROR: 'FAILURE', ERROR_MESSAGE: 'no mission running', ERROR_CODE: 236}),
                 'no mission running (error code 236)');
    assert.equal(failureText({ERROR: 'FAILURE', ERROR_MESSAGE: 'file not exists.'}), 'file not exists.');
    assert.equal(failureText({ERROR: 'FAILURE'}), 'no reason given');
});

function tracker() {
    mock.timers.enable({apis: ['setTimeout', 'Date']});
    return new RequestTracker({prefix: 't'});
}

test('a command without an answer after 15 s is marked unanswered and still takes a late answer', async (t) => {
    const tr = tracker();
    t.after(() => mock.timers.reset());
    const states = [];
    tr.onChange((e) => states.push(e.state));
    let reported = null;
    const entry = tr.create('GetFlyLimit', {AIRCRAFT: 'A1'}, {onUnanswered: (e) => (reported = e.seq)});
    assert.deepEqual(entry.message, {CMD: 'GetFlyLimit', SEQ: 't-1', VALUE: {AIRCRAFT: 'A1'}});
    mock.timers.tick(ANSWER_TIMEOUT_MS - 1);
    assert.equal(entry.state, 'pending');
    mock.timers.tick(1);
    assert.equal(entry.state, 'unanswered');
    assert.equal(reported, 't-1');
    tr.settle({CMD: 'GetFlyLimit', SEQ: 't-1', ERROR: 'SUCCESS', VALUE: {MAX_HEIGHT: 120}});
    const result = await entry.promise;
    assert.equal(result.ok, true);
    assert.equal(entry.late, true);
    assert.deepEqual(states, ['pending', 'unanswered', 'ok']);
});

test('progress of a long command restarts its clock', (t) => {
    const tr = tracker();
    t.after(() => mock.timers.reset());
    const upload = tr.create('UploadWayLineMission', {});
    const other = tr.create('GetFlyLimit', {});
    mock.timers.tick(10000);
    tr.keepAlive((e) => e.cmd === 'UploadWayLineMission');
    mock.timers.tick(10000);
    assert.equal(upload.state, 'pending');
    assert.equal(other.state, 'unanswered');
});

test('replies are matched by sequence string only; strangers are not taken', async (t) => {
    const tr = tracker();
    t.after(() => mock.timers.reset());
    const a = tr.create('DoFunction', {});
    const b = tr.create('DoFunction', {});
    assert.equal(tr.settle({SEQ: 'other'}), null);
    assert.equal(tr.settle({ERROR: 'FAILURE'}), null);
    assert.equal(tr.settle({SEQ: b.seq, ERROR: 'FAILURE', ERROR_MESSAGE: 'not flying'}), b);
    assert.equal(a.state, 'pending');
    assert.deepEqual(await b.promise, {ok: false, reply: {SEQ: b.seq, ERROR: 'FAILURE', ERROR_MESSAGE: 'not flying'},
                                       message: 'not flying'});
});

test('a lost connection fails every open command with its reason', async (t) => {
    const tr = tracker();
    t.after(() => mock.timers.reset());
    const a = tr.create('ClickGo', {});
    tr.dropAll('connection closed');
    assert.deepEqual(await a.promise, {ok: false, reply: null, message: 'connection closed'});
    mock.timers.tick(ANSWER_TIMEOUT_MS);
    assert.equal(a.state, 'failed');
});
