// The page's fleet view in headless Chromium: a real Mosquitto with a
// WebSocket listener, a host with two simulated aircraft and its bridge. The
// page opts in with the broker's URL, lists the station and its aircraft, and
// commands one of them through the broker.
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {mkdirSync, mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {BASE, artifacts, bin, freePort, homeEnv, launchBrowser, run, stop} from './fixture.mjs';

let scratch;
let context;
let page;
let wsUrl;
const children = [];
const pageErrors = [];

before(async () => {
    scratch = mkdtempSync(path.join(tmpdir(), 'oru-fleetview-'));
    const [mqttPort, wsPort] = [await freePort(), await freePort()];
    wsUrl = `ws://127.0.0.1:${wsPort}`;
    const config = path.join(scratch, 'mosquitto.conf');
    // "user root" keeps a broker started by root from switching to a user
    // that cannot read the temporary folder.
    writeFileSync(
        config,
        `listener ${mqttPort} 127.0.0.1\nprotocol mqtt\nlistener ${wsPort} 127.0.0.1\nprotocol websockets\n` +
            'allow_anonymous true\nuser root\npersistence false\nlog_type error\n',
    );
    const home = path.join(scratch, 'home');
    mkdirSync(home);
    const env = homeEnv(home);
    // The bridge and the page retry a broker that is not up yet by themselves.
    children.push(
        run('/usr/sbin/mosquitto', ['-c', config], env),
        run(bin('oru-host', 'ORU_HOST_BIN'), ['--simulate', '2', '--sim-speed', '5'], env),
        run(
            bin('oru-bridge', 'ORU_BRIDGE_BIN'),
            ['--station', 'alpha', '--broker', `mqtt://127.0.0.1:${mqttPort}`, '--allow-commands'],
            env,
        ),
    );
    context = await launchBrowser(path.join(scratch, 'profile'));
    page = context.pages()[0] || (await context.newPage());
    page.on('pageerror', (e) => pageErrors.push(e.message));
    const loaded = () => page.goto(`${BASE}/`).catch(() => null);
    for (const deadline = Date.now() + 20000; !(await loaded())?.ok(); await page.waitForTimeout(200))
        assert.ok(Date.now() < deadline && children.every((c) => c.exitCode == null), 'the host came up');
});

after(async () => {
    await page?.screenshot({path: path.join(artifacts, 'fleetview.png')}).catch(() => {});
    await context?.close().catch(() => {});
    for (const child of children.reverse()) {
        // One that ended before its time tells why.
        if ((child.exitCode != null || child.signalCode != null) && !child.killed) console.log(child.output);
        await stop(child);
    }
    if (scratch) rmSync(scratch, {recursive: true, force: true});
});

const waitFor = (condition, arg, timeout = 20000) => page.waitForFunction(condition, arg, {timeout});

test("a broker's station and its aircraft are shown, tagged, and commanded through the broker", async () => {
    assert.equal(await page.isVisible('#link-broker'), false, 'no broker until the user gives one');
    await page.click('#broker-settings summary');
    await page.fill('#broker-url', wsUrl);
    await page.click('#broker-apply');
    await page.waitForSelector('#station-list li[data-station="alpha"][data-state="online"]', {timeout: 20000});
    const remote = '#fleet-list .aircraft[data-station="alpha"][data-state="connected"]';
    await waitFor((s) => document.querySelectorAll(s).length === 2, remote);
    const card = page.locator(remote).first();
    assert.match(await card.textContent(), /^SIM\d+alpha/);

    // The limits and a take-off travel as requests on oru/alpha/request (the
    // label names the station only on that path); the telemetry comes back
    // through the broker, and a refusal in words.
    const serial = await card.getAttribute('data-serial');
    await card.click();
    await page.waitForSelector('#tm-limits:has-text("up to 500 m high")');
    await waitFor((s) => window.oru.stations.get(s)?.state?.status === 'ON_GROUND', serial);
    await page.click('#btn-takeoff');
    await waitFor(() => document.getElementById('tm-status').textContent === 'Hovering', null, 30000);
    // One waypoint is no mission: the station's refusal comes back in words.
    await page.click('#tab-mission');
    await page.evaluate((key) => void window.oru.store.add(window.oru.stations.get(key).state.lat, 8.9), serial);
    await page.click('#btn-upload');
    await page.click('#btn-upload-anyway');
    const refusal = page.locator('.toast.error', {hasText: 'Upload mission (alpha) failed'});
    await refusal.waitFor({timeout: 15000});
    assert.match(await refusal.textContent(), /LENGTH 1 is outside 2 to 50 waypoints \(error code 210\)/);

    // The bridge's Last Will takes the station and its aircraft offline.
    children.find((c) => c.spawnargs.includes('alpha')).kill('SIGKILL');
    await page.waitForSelector('#station-list li[data-station="alpha"][data-state="offline"]');
    await waitFor((s) => document.querySelectorAll(s).length === 0, remote);
    assert.deepEqual(pageErrors, []);
});
