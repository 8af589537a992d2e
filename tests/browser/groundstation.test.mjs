// Drives the ground station page in headless Chromium against a host with two
// simulated aircraft: plan, check, upload and fly a mission, keep a wayline,
// see a zone and a refusal, and make sure the page never leaves the host.
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {spawn} from 'node:child_process';
import {copyFileSync, existsSync, mkdirSync, mkdtempSync, readdirSync, rmSync, statSync, writeFileSync} from 'node:fs';
import http from 'node:http';
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

// Near the simulator's default home, north of where the test flies.
const ZONE = {name: 'Test Hospital', lat: 47.4025, lng: 8.5456, radius: 120};

let scratch;
let host;
let hostOutput = '';
let context;
let page;
const requests = [];
const pageErrors = [];
const replies = [];

function waitForPort(deadline) {
    return new Promise((resolve, reject) => {
        const attempt = () => {
            if (host.exitCode != null)
                return reject(new Error(`oru-host exited with ${host.exitCode}:\n${hostOutput}`));
            const req = http.get(`${BASE}/`, (res) => {
                res.resume();
                if (res.statusCode === 200)
                    resolve();
                else
                    retry();
            });
            req.on('error', retry);
        };
        const retry = () => (Date.now() > deadline ? reject(new Error(`oru-host did not answer:\n${hostOutput}`)) : setTimeout(attempt, 100));
        attempt();
    });
}

// The host reads its zone file from beside its binary, so the test runs a
// copy of the binary folder with a zone file of its own.
function prepareHost() {
    const dir = path.join(scratch, 'host');
    mkdirSync(path.join(dir, 'Data'), {recursive: true});
    const from = path.dirname(hostBin);
    for (const name of readdirSync(from)) {
        if (statSync(path.join(from, name)).isFile())
            copyFileSync(path.join(from, name), path.join(dir, name));
    }
    writeFileSync(path.join(dir, 'Data', 'limit.txt'), JSON.stringify({
        release_limits: [{area_id: 1, type: 1, name: ZONE.name, lat: String(ZONE.lat), lng: String(ZONE.lng),
                          radius: ZONE.radius, disable: 0, level: 1, warning: 0, country: 756, city: 'Zurich'}],
    }));
    return path.join(dir, path.basename(hostBin));
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
    host = spawn(prepareHost(), ['--simulate', '2', '--sim-speed', '5'], {
        env: {...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'), XDG_DATA_HOME: path.join(home, '.local')},
        stdio: ['ignore', 'pipe', 'pipe'],
    });
    for (const stream of [host.stdout, host.stderr])
        stream.on('data', (chunk) => (hostOutput = (hostOutput + chunk).slice(-20000)));
    await waitForPort(Date.now() + 20000);

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
            try {
                const message = JSON.parse(frame.payload);
                if (message.CMD || message.EVENT === 'WP_UPLOAD_PROGRESS')
                    replies.push(message);
            } catch (e) {
                // Not ours to judge here.
            }
        });
    });
});

after(async () => {
    if (context)
        await context.close().catch(() => {});
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

const selectedSerial = () => page.evaluate(() => document.querySelector('#fleet-list .aircraft[aria-selected="true"]')?.dataset.serial);

async function waitForFleet() {
    await page.waitForFunction(() => document.querySelectorAll('#fleet-list .aircraft[data-state="connected"]').length === 2,
        null, {timeout: 20000});
}

async function clickMap(dx, dy) {
    const box = await page.locator('#map').boundingBox();
    await page.mouse.click(box.x + box.width / 2 + dx, box.y + box.height / 2 + dy);
}

function missionPoints() {
    return page.evaluate(() => window.oru.store.mission.waypoints.map((w) => ({lat: w.lat, lng: w.lng, alt: w.alt})));
}

test('a mission is planned, checked, uploaded and flown from the browser', async (t) => {
    let serial;
    let planned;
    // Each step builds on the one before; after a failure the rest would
    // only report the same fault again.
    let failed = '';
    const step = (name, body) => t.test(name, {skip: failed ? `"${failed}" failed` : false}, async () => {
        try {
            await body();
        } catch (e) {
            failed = name;
            throw e;
        }
    });

    await step('both simulated aircraft are listed with serial, type and RC', async () => {
        await page.goto(`${BASE}/`);
        await waitForFleet();
        const cards = await page.locator('#fleet-list .aircraft').allTextContents();
        assert.equal(cards.length, 2);
        for (const text of cards)
            assert.match(text, /Type \d+ · RC \S+/);
        serial = await selectedSerial();
        assert.ok(serial, 'an aircraft is selected');
        await page.waitForFunction((s) => window.oru.fleet.get(s)?.state?.status === 'ON_GROUND', serial, {timeout: 15000});
    });

    await step('take off lifts the selected aircraft', async () => {
        await page.click('#btn-takeoff');
        await page.waitForFunction(() => document.getElementById('tm-status').textContent === 'Hovering', null, {timeout: 30000});
    });

    await step('three clicks on the map make three waypoints', async () => {
        await page.click('#btn-fit');
        await page.evaluate(() => {
            window.oru.map.map.setZoom(17, {animate: false});
        });
        await clickMap(-170, -110);
        await clickMap(170, -110);
        await clickMap(0, 130);
        planned = await missionPoints();
        assert.equal(planned.length, 3);
        assert.equal(await page.textContent('#sum-count'), '3');
        await page.waitForSelector('#checks-list li.ok', {timeout: 10000});
    });

    await step('upload fills the progress bar from the aircraft\'s progress events to 100 %', async () => {
        await page.evaluate(() => {
            const fill = document.getElementById('upload-fill');
            window.seenProgress = [];
            new MutationObserver(() => window.seenProgress.push(Number(fill.getAttribute('aria-valuenow')))).observe(fill, {attributes: true, attributeFilter: ['aria-valuenow']});
        });
        await page.click('#btn-upload');
        await page.waitForSelector('#upload-progress[data-state="done"]', {timeout: 20000});
        assert.equal(await page.getAttribute('#upload-fill', 'aria-valuenow'), '100');
        assert.equal(await page.textContent('#upload-percent'), '100 %');
        // Progress events and the reply travel on different connections, so
        // the last events may trail the reply; the event log lists them all.
        await page.waitForFunction(() => document.querySelectorAll('#log-events li[data-event="WP_UPLOAD_PROGRESS"]').length === 4,
            null, {timeout: 10000});
        const pushed = replies.filter((m) => m.EVENT === 'WP_UPLOAD_PROGRESS').map((m) => m.VALUE);
        assert.deepEqual(pushed, [25, 50, 75, 100]);
        const seen = await page.evaluate(() => window.seenProgress);
        assert.deepEqual([...seen].sort((a, b) => a - b), seen, `the bar never moves back: ${seen}`);
    });

    await step('start flies the mission and the marker moves', async () => {
        const start = await page.evaluate((s) => window.oru.map.aircraftPosition(s), serial);
        await page.click('#btn-start');
        await page.waitForFunction((s) => window.oru.fleet.get(s)?.state?.status === 'MISSION', serial, {timeout: 15000});
        await page.waitForFunction(({s, from}) => {
            const now = window.oru.map.aircraftPosition(s);
            return now && window.oru.map.map.distance(now, from) > 15;
        }, {s: serial, from: start}, {timeout: 20000});
    });

    await step('the no-fly zone near the mission is drawn with its name', async () => {
        await page.evaluate((zone) => {
            window.oru.map.fit([...window.oru.store.mission.waypoints, {lat: zone.lat + 0.002, lng: zone.lng}]);
        }, ZONE);
        const label = page.locator('.zone-label', {hasText: ZONE.name});
        await label.waitFor({state: 'visible', timeout: 10000});
        const d = await page.getAttribute('path.zone-circle', 'd');
        assert.ok(d && d.includes('a'), `zone circle drawn: ${d}`);
        mkdirSync(artifacts, {recursive: true});
        await page.screenshot({path: path.join(artifacts, 'groundstation.png')});
    });

    await step('a saved wayline survives a reload and loads back into the editor', async () => {
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
        const loaded = await missionPoints();
        loaded.forEach((p, i) => {
            assert.ok(Math.abs(p.lat - planned[i].lat) < 1e-9 && Math.abs(p.lng - planned[i].lng) < 1e-9, `waypoint ${i + 1} in place`);
            assert.equal(p.alt, planned[i].alt);
        });
    });

    await step('a mission the aircraft refuses shows the aircraft\'s own reason', async () => {
        const items = [];
        for (let i = 0; i < 51; ++i) {
            items.push({type: 'SimpleItem', command: 16, frame: 3, autoContinue: true, doJumpId: i + 1,
                        params: [0, 0, 0, null, 47.3977 + 0.0002 * (i % 10), 8.5456 + 0.0003 * Math.floor(i / 10), 25]});
        }
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
        assert.ok(refusal && refusal.ERROR_MESSAGE, 'the aircraft refused with a reason');
        assert.ok((await toast.textContent()).includes(refusal.ERROR_MESSAGE), 'the toast carries the aircraft\'s reason');
        assert.equal(await page.getAttribute('#upload-progress', 'data-state'), 'failed');
        await page.screenshot({path: path.join(artifacts, 'refused.png')});
    });

    await step('every request stayed on the host and the page raised no error', () => {
        const away = requests.filter((url) => !LOCAL.some((p) => url.startsWith(p)));
        assert.deepEqual(away, []);
        assert.ok(requests.some((u) => u.startsWith('ws://127.0.0.1:19870/groundstation/push')));
        assert.deepEqual(pageErrors, []);
    });
});
