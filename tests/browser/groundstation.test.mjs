// Drives the ground station page in headless Chromium against a host with two
// simulated aircraft: see the fleet, take off, plan, check and upload a
// mission, keep a wayline, see a refusal, and make sure the page never leaves
// the host.
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {spawn} from 'node:child_process';
import {existsSync, mkdirSync, mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const hostBin = path.resolve(process.env.ORU_HOST_BIN || path.join(root, 'build/bin/oru-host'));
const artifacts = path.resolve(process.env.ORU_ARTIFACT_DIR || path.join(root, 'build/browser'));
const chromiumBin = process.env.ORU_CHROMIUM || '/usr/bin/chromium';
const BASE = 'http://127.0.0.1:19870';
const LOCAL = [`${BASE}/`, 'ws://127.0.0.1:19870/', 'data:', 'blob:'];

let scratch;
let host;
let hostOutput = '';
let context;
let page;
const requests = [];
const pageErrors = [];
const replies = [];

async function waitForHost(deadline) {
    while (Date.now() < deadline) {
        if (host.exitCode != null)
            throw new Error(`oru-host exited with ${host.exitCode}:\n${hostOutput}`);
        if (await fetch(`${BASE}/`).then((r) => r.ok, () => false))
            return;
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
    throw new Error(`oru-host did not answer:\n${hostOutput}`);
}

before(async () => {
    for (const [file, hint] of [[hostBin, 'build it first (make build), or name it in ORU_HOST_BIN'],
                                [chromiumBin, 'install Debian\'s chromium (make deps), or name it in ORU_CHROMIUM']]) {
        if (!existsSync(file))
            throw new Error(`${file} is missing: ${hint}`);
    }
    scratch = mkdtempSync(path.join(tmpdir(), 'oru-browser-'));
    const home = path.join(scratch, 'home');
    mkdirSync(home);
    host = spawn(hostBin, ['--simulate', '2', '--sim-speed', '5'], {
        env: {...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'), XDG_DATA_HOME: path.join(home, '.local')},
        stdio: ['ignore', 'pipe', 'pipe'],
    });
    for (const stream of [host.stdout, host.stderr])
        stream.on('data', (chunk) => (hostOutput = (hostOutput + chunk).slice(-20000)));
    await waitForHost(Date.now() + 20000);

    context = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
        executablePath: chromiumBin,
        headless: true,
        viewport: {width: 1440, height: 900},
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
               '--disable-component-update', '--disable-sync'],
    });
    context.on('request', (r) => requests.push(r.url()));
    // Anything bound elsewhere is stopped as well as recorded.
    await context.route((url) => !LOCAL.some((p) => url.href.startsWith(p)), (route) => route.abort());
    page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (e) => pageErrors.push(e.message));
    page.on('websocket', (ws) => {
        requests.push(ws.url());
        ws.on('framereceived', (frame) => {
            let message = {};
            try {
                message = JSON.parse(frame.payload);
            } catch (e) {
                // Not ours to judge here.
            }
            if (message.CMD || message.EVENT === 'WP_UPLOAD_PROGRESS')
                replies.push(message);
        });
    });
});

after(async () => {
    if (page) {
        mkdirSync(artifacts, {recursive: true});
        await page.screenshot({path: path.join(artifacts, 'groundstation.png')}).catch(() => {});
    }
    await context?.close().catch(() => {});
    if (host && host.exitCode == null) {
        const exited = new Promise((resolve) => host.once('exit', resolve));
        host.kill('SIGTERM');
        const timer = setTimeout(() => host.kill('SIGKILL'), 5000);
        await exited;
        clearTimeout(timer);
    }
    if (scratch)
        rmSync(scratch, {recursive: true, force: true});
});

const waitForFleet = () => page.waitForFunction(
    () => document.querySelectorAll('#fleet-list .aircraft[data-state="connected"]').length === 2, null, {timeout: 20000});
const missionPoints = () => page.evaluate(() => window.oru.store.mission.waypoints.map((w) => ({lat: w.lat, lng: w.lng, alt: w.alt})));

async function clickMap(dx, dy) {
    const box = await page.locator('#map').boundingBox();
    await page.mouse.click(box.x + box.width / 2 + dx, box.y + box.height / 2 + dy);
}

test('a mission is planned, checked and uploaded from the browser, and kept as a wayline', async () => {
    // Both simulated aircraft are listed with serial, type and RC.
    await page.goto(`${BASE}/`);
    await waitForFleet();
    const cards = await page.locator('#fleet-list .aircraft').allTextContents();
    assert.equal(cards.length, 2);
    cards.forEach((text) => assert.match(text, /Type \d+ · RC \S+/));
    const serial = await page.evaluate(() => document.querySelector('#fleet-list .aircraft[aria-selected="true"]')?.dataset.serial);
    assert.ok(serial, 'an aircraft is selected');
    await page.waitForFunction((s) => window.oru.fleet.get(s)?.state?.status === 'ON_GROUND', serial, {timeout: 15000});

    await page.click('#btn-takeoff');
    await page.waitForFunction(() => document.getElementById('tm-status').textContent === 'Hovering', null, {timeout: 30000});

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

    // The aircraft's progress events fill the bar to 100 % and never move it back.
    await page.evaluate(() => {
        const fill = document.getElementById('upload-fill');
        window.seenProgress = [];
        new MutationObserver(() => window.seenProgress.push(Number(fill.getAttribute('aria-valuenow'))))
            .observe(fill, {attributes: true, attributeFilter: ['aria-valuenow']});
    });
    await page.click('#btn-upload');
    await page.waitForSelector('#upload-progress[data-state="done"]', {timeout: 20000});
    assert.equal(await page.textContent('#upload-percent'), '100 %');
    // Progress events and the reply travel on different connections, so the
    // last events may trail the reply; the event log lists them all.
    await page.waitForFunction(() => document.querySelectorAll('#log-events li[data-event="WP_UPLOAD_PROGRESS"]').length === 4,
        null, {timeout: 10000});
    assert.deepEqual(replies.filter((m) => m.EVENT === 'WP_UPLOAD_PROGRESS').map((m) => m.VALUE), [25, 50, 75, 100]);
    const seen = await page.evaluate(() => window.seenProgress);
    assert.deepEqual([...seen].sort((a, b) => a - b), seen, `the bar never moves back: ${seen}`);

    // A saved wayline survives a reload and loads back into the editor.
    await page.click('#tab-files');
    await page.fill('#wl-name', 'browser-check');
    await page.click('#btn-save');
    await page.waitForSelector('#wl-list li[data-name="browser-check"]', {timeout: 10000});
    await page.reload();
    await waitForFleet();
    await page.click('#tab-mission');
    await page.click('#btn-clear');
    assert.equal(await page.textContent('#sum-count'), '0');
    await page.click('#tab-files');
    await page.click('#wl-list li[data-name="browser-check"] button');
    await page.waitForFunction(() => window.oru.store.mission.waypoints.length === 3, null, {timeout: 10000});
    (await missionPoints()).forEach((p, i) => {
        assert.ok(Math.abs(p.lat - planned[i].lat) < 1e-9 && Math.abs(p.lng - planned[i].lng) < 1e-9, `waypoint ${i + 1} in place`);
        assert.equal(p.alt, planned[i].alt);
    });

    // A mission past the checks, sent anyway, shows the aircraft's own reason.
    const items = Array.from({length: 51}, (_, i) => ({type: 'SimpleItem', command: 16, frame: 3, autoContinue: true, doJumpId: i + 1,
        params: [0, 0, 0, null, 47.3977 + 0.0002 * (i % 10), 8.5456 + 0.0003 * Math.floor(i / 10), 25]}));
    const plan = {fileType: 'Plan', version: 1, mission: {version: 2, cruiseSpeed: 5, items, plannedHomePosition: [47.3977, 8.5456, 0]}};
    await page.setInputFiles('#plan-file', {name: 'too-long.plan', mimeType: 'application/json', buffer: Buffer.from(JSON.stringify(plan))});
    await page.waitForFunction(() => window.oru.store.mission.waypoints.length === 51, null, {timeout: 5000});
    await page.click('#btn-upload');
    await page.waitForSelector('#upload-confirm:not([hidden])', {timeout: 10000});
    assert.match(await page.textContent('#checks-list'), /51 waypoints; an aircraft takes at most 50/);
    await page.click('#btn-upload-anyway');
    const toast = page.locator('.toast.error', {hasText: 'UploadWayLineMission'});
    await toast.waitFor({state: 'visible', timeout: 10000});
    const refusal = replies.find((r) => r.CMD === 'UploadWayLineMission' && r.ERROR === 'FAILURE');
    assert.ok(refusal?.ERROR_MESSAGE && (await toast.textContent()).includes(refusal.ERROR_MESSAGE), 'the toast carries the aircraft\'s reason');
    assert.equal(await page.getAttribute('#upload-progress', 'data-state'), 'failed');

    // Every request stayed on the host and the page raised no error.
    assert.deepEqual(requests.filter((url) => !LOCAL.some((p) => url.startsWith(p))), []);
    assert.ok(requests.some((u) => u.startsWith('ws://127.0.0.1:19870/groundstation/push')));
    assert.deepEqual(pageErrors, []);
});
