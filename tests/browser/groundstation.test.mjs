// Drives the ground station page in headless Chromium against a host with two
// simulated aircraft: see the fleet, take off, plan, check and upload a
// mission, keep a wayline, ride out a host restart, and make sure the page
// never leaves the host.
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {existsSync, mkdirSync, mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import * as fixture from './fixture.mjs';

const {BASE, artifacts, chromiumBin, launchBrowser, stop} = fixture;
const hostBin = fixture.bin('oru-host', 'ORU_HOST_BIN');
const LOCAL = [`${BASE}/`, 'ws://127.0.0.1:19870/', 'data:', 'blob:'];
const remote = (url) => !LOCAL.some((p) => url.startsWith(p));

let scratch;
let host;
let context;
let page;
const requests = [];
const pageErrors = [];

const startHost = async () => (host = await fixture.startHost(19870, path.join(scratch, 'home')));

before(async () => {
    for (const [file, hint] of [
        [hostBin, 'build it first (make build), or name it in ORU_HOST_BIN'],
        [chromiumBin, "install Debian's chromium (make deps), or name it in ORU_CHROMIUM"],
    ]) {
        if (!existsSync(file)) throw new Error(`${file} is missing: ${hint}`);
    }
    scratch = mkdtempSync(path.join(tmpdir(), 'oru-browser-'));
    await startHost();
    context = await launchBrowser(path.join(scratch, 'profile'));
    context.on('request', (r) => requests.push(r.url()));
    // Anything bound elsewhere is stopped as well as recorded.
    await context.route(
        (url) => remote(url.href),
        (route) => route.abort(),
    );
    page = context.pages()[0] || (await context.newPage());
    page.on('pageerror', (e) => pageErrors.push(e.message));
    page.on('websocket', (ws) => requests.push(ws.url()));
});

after(async () => {
    if (page) {
        mkdirSync(artifacts, {recursive: true});
        await page.screenshot({path: path.join(artifacts, 'groundstation.png')}).catch(() => {});
    }
    await context?.close().catch(() => {});
    await stop(host);
    if (scratch) rmSync(scratch, {recursive: true, force: true});
});

const waitFor = (condition, arg, timeout = 10000) => page.waitForFunction(condition, arg, {timeout});
const waitForFleet = () =>
    waitFor(() => document.querySelectorAll('#fleet-list .aircraft[data-state="connected"]').length === 2, null, 20000);
const missionPoints = () =>
    page.evaluate(() => window.oru.store.mission.waypoints.map(({lat, lng, alt}) => ({lat, lng, alt})));
const samePlace = (p, q) => Math.abs(p.lat - q.lat) < 1e-9 && Math.abs(p.lng - q.lng) < 1e-9 && p.alt === q.alt;

const clickMap = (dx, dy) => fixture.clickMap(page, dx, dy);

test('a mission is planned, checked and uploaded from the browser, and kept as a wayline', async () => {
    // Both simulated aircraft are listed with serial, type and device.
    await page.goto(`${BASE}/`);
    await waitForFleet();
    const cards = await page.locator('#fleet-list .aircraft').allTextContents();
    assert.equal(cards.length, 2);
    cards.forEach((text) => assert.match(text, /Type \d+ · device …\S+/));
    // The map says how many zones the host loaded, so an empty map is never taken for a clear sky.
    await page.waitForSelector('.zone-state[data-state="loaded"]', {timeout: 10000});
    assert.match(await page.textContent('.zone-state'), /^no-fly database: [1-9]\d* zones$/);
    const serial = await page.getAttribute('#fleet-list .aircraft[aria-selected="true"]', 'data-serial');
    assert.ok(serial, 'an aircraft is selected');
    await waitFor((s) => window.oru.fleet.get(s)?.state?.status === 'ON_GROUND', serial, 15000);

    await page.click('#btn-takeoff');
    await waitFor(() => document.getElementById('tm-status').textContent === 'Hovering', null, 30000);

    // Three clicks on the map make three waypoints that pass every check.
    await page.click('#btn-fit');
    await page.evaluate(() => void window.oru.map.map.setZoom(17, {animate: false}));
    await clickMap(-170, -110);
    await clickMap(170, -110);
    await clickMap(0, 130);
    const planned = await missionPoints();
    assert.equal(planned.length, 3);
    assert.equal(await page.textContent('#sum-count'), '3');
    await page.waitForSelector('#checks-list li.ok', {timeout: 10000});

    // The aircraft's progress events fill the bar to 100 %. Events and the
    // reply travel on different connections, so the last events may trail
    // the reply; the event log lists them all.
    await page.click('#btn-upload');
    await page.waitForSelector('#upload-progress[data-state="done"]', {timeout: 20000});
    assert.equal(await page.textContent('#upload-percent'), '100 %');
    await waitFor(() => document.querySelectorAll('#log-events li[data-event="WP_UPLOAD_PROGRESS"]').length === 4);

    // The figures count the way from the hovering aircraft; in flight, the progress counts down.
    assert.match(await page.textContent('#st-transit'), /\d k?m · \d+:\d\d/);
    assert.equal(await page.locator('#alt-profile polyline').count(), 2);
    await page.click('#btn-start');
    await page.waitForSelector('#mission-progress:not([hidden])', {timeout: 15000});
    assert.match(await page.textContent('#mission-progress-label'), /to go$/);

    // A saved wayline survives a reload and loads back into the editor.
    await page.click('#tab-files');
    await page.fill('#wl-name', 'browser-check');
    await page.click('#btn-save');
    await page.waitForSelector('#wl-list li[data-name="browser-check"]', {timeout: 10000});
    // The same name again asks before it replaces the saved one.
    await page.click('#btn-save');
    assert.match(await (await page.waitForSelector('#confirm[open]')).textContent(), /Replace wayline "browser-check"/);
    await page.click('#confirm-cancel');
    await page.reload();
    await waitForFleet();
    await page.click('#tab-mission');
    await page.click('#btn-clear');
    assert.equal(await page.textContent('#sum-count'), '0');
    await page.click('#tab-files');
    await page.click('#wl-list li[data-name="browser-check"] button');
    await waitFor(() => window.oru.store.mission.waypoints.length === 3);
    const loaded = await missionPoints();
    assert.ok(
        loaded.every((p, i) => samePlace(p, planned[i])),
        `${JSON.stringify(loaded)} is where it was saved`,
    );

    // A real plan with fences: its waypoints replace the mission, its fences go on the map.
    await page.setInputFiles(
        '#plan-file',
        new URL('../web/fixtures/plans/px4-geofence-avoid.plan', import.meta.url).pathname,
    );
    await waitFor(
        () => window.oru.store.mission.waypoints.length === 3 && !document.getElementById('plan-extras').hidden,
    );
    assert.match(await page.textContent('#import-notes'), /take-off at item 1/);

    // The page shows a host that went away, and finds it again by itself.
    await stop(host);
    await page.waitForSelector('#link-commands[data-state="down"]', {timeout: 10000});
    assert.equal(await page.isVisible('#link-banner'), true);
    await startHost();
    await page.waitForSelector('#link-events[data-state="up"]', {timeout: 20000});
    await waitForFleet();
    // The new host's aircraft have serials of their own: the page leaves the lost one for one of them.
    await page.waitForSelector('#fleet-list .aircraft[aria-selected="true"][data-state="connected"]');

    // Every request stayed on the host and the page raised no error.
    assert.deepEqual(requests.filter(remote), []);
    assert.ok(requests.some((u) => u.startsWith('ws://127.0.0.1:19870/groundstation/push')));
    assert.deepEqual(pageErrors, []);
});
