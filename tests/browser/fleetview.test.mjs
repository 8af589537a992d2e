// The page's fleet view through a broker in headless Chromium: a real
// Mosquitto with a WebSocket listener, a host with two simulated aircraft and
// its bridge. The page opts in with the broker's URL, lists the station and
// its aircraft, and commands one of them through the broker.
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {spawn} from 'node:child_process';
import {existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {createServer, connect} from 'node:net';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const bin = (name, variable) => path.resolve(process.env[variable] || path.join(root, 'build/bin', name));
const hostBin = bin('oru-host', 'ORU_HOST_BIN');
const bridgeBin = bin('oru-bridge', 'ORU_BRIDGE_BIN');
const artifacts = path.resolve(process.env.ORU_ARTIFACT_DIR || path.join(root, 'build/browser'));
const chromiumBin = process.env.ORU_CHROMIUM || '/usr/bin/chromium';
const BASE = 'http://127.0.0.1:19870';

let scratch;
let context;
let page;
let wsUrl;
const children = [];
const pageErrors = [];
const requests = [];

const freePort = () =>
    new Promise((resolve, reject) => {
        const server = createServer().listen(0, '127.0.0.1', () => {
            const {port} = server.address();
            server.close(() => resolve(port));
        });
        server.on('error', reject);
    });

const accepts = (port) =>
    new Promise((resolve) => {
        const socket = connect(port, '127.0.0.1', () => {
            socket.end();
            resolve(true);
        });
        socket.on('error', () => resolve(false));
    });

function run(file, args, env = process.env) {
    const child = spawn(file, args, {env, stdio: ['ignore', 'pipe', 'pipe']});
    child.output = '';
    for (const stream of [child.stdout, child.stderr])
        stream.on('data', (chunk) => (child.output = (child.output + chunk).slice(-20000)));
    children.push(child);
    return child;
}

async function until(what, child, ready, timeout = 20000) {
    for (const deadline = Date.now() + timeout; Date.now() < deadline;) {
        if (child.exitCode != null) throw new Error(`${what} exited with ${child.exitCode}:\n${child.output}`);
        if (await ready()) return;
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
    throw new Error(`${what} did not come up:\n${child.output}`);
}

before(async () => {
    for (const file of [hostBin, bridgeBin, chromiumBin, '/usr/sbin/mosquitto'])
        if (!existsSync(file)) throw new Error(`${file} is missing: make build and make deps install it`);
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
    const broker = run('/usr/sbin/mosquitto', ['-c', config]);
    await until('mosquitto', broker, async () => (await accepts(mqttPort)) && accepts(wsPort));

    const home = path.join(scratch, 'home');
    mkdirSync(home, {recursive: true});
    const env = {...process.env, HOME: home, XDG_CONFIG_HOME: `${home}/.config`, XDG_DATA_HOME: `${home}/.local`};
    const host = run(hostBin, ['--simulate', '2', '--sim-speed', '5'], env);
    await until('oru-host', host, () =>
        fetch(`${BASE}/`).then(
            (r) => r.ok,
            () => false,
        ),
    );
    run(bridgeBin, ['--station', 'alpha', '--broker', `mqtt://127.0.0.1:${mqttPort}`, '--allow-commands'], env);

    context = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
        executablePath: chromiumBin,
        headless: true,
        viewport: {width: 1440, height: 900},
        args: '--no-sandbox --disable-gpu --no-first-run --disable-background-networking --disable-sync'.split(' '),
    });
    const local = [`${BASE}/`, 'ws://127.0.0.1:19870/', `${wsUrl}/`, 'data:', 'blob:'];
    context.on('request', (r) => requests.push(r.url()));
    await context.route(
        (url) => !local.some((p) => url.href.startsWith(p)),
        (route) => route.abort(),
    );
    page = context.pages()[0] || (await context.newPage());
    page.on('pageerror', (e) => pageErrors.push(e.message));
    page.on('websocket', (ws) => requests.push(ws.url()));
});

after(async () => {
    if (page) {
        mkdirSync(artifacts, {recursive: true});
        await page.screenshot({path: path.join(artifacts, 'fleetview.png')}).catch(() => {});
    }
    await context?.close().catch(() => {});
    for (const child of children.reverse()) {
        if (child.exitCode != null || child.signalCode != null) continue;
        const exited = new Promise((resolve) => child.once('exit', resolve));
        child.kill('SIGTERM');
        const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
        await exited;
        clearTimeout(timer);
    }
    if (scratch) rmSync(scratch, {recursive: true, force: true});
});

const waitFor = (condition, arg, timeout = 15000) => page.waitForFunction(condition, arg, {timeout});

test("a broker's station and its aircraft are shown, tagged, and commanded through the broker", async () => {
    await page.goto(`${BASE}/`);
    assert.equal(await page.isVisible('#link-broker'), false, 'no broker until the user gives one');
    await page.click('#broker-settings summary');
    await page.fill('#broker-url', 'http://127.0.0.1:1');
    await page.click('#broker-apply');
    assert.match(await page.textContent('#broker-error'), /ws:\/\/ or wss:\/\//);

    await page.fill('#broker-url', wsUrl);
    await page.click('#broker-apply');
    await page.waitForSelector('#station-list li[data-station="alpha"][data-state="online"]', {timeout: 20000});
    const remote = '#fleet-list .aircraft[data-station="alpha"][data-state="connected"]';
    await waitFor((s) => document.querySelectorAll(s).length === 2, remote, 20000);
    assert.match(await page.locator(remote).first().textContent(), /^SIM\d+alpha/);

    // Selected, the aircraft's limits and a take-off travel as requests on
    // oru/alpha/request; its telemetry comes back through the broker.
    const card = page.locator(remote).first();
    const serial = await card.getAttribute('data-serial');
    await card.click();
    await page.waitForSelector('#tm-limits:has-text("up to 500 m high")');
    await waitFor((s) => window.oru.stations.get(s)?.state?.status === 'ON_GROUND', serial);
    await page.click('#btn-takeoff');
    await waitFor(() => document.getElementById('tm-status').textContent === 'Hovering', null, 30000);
    const row = page.locator('#log-commands li[data-cmd="DoFunction"]').first();
    assert.match(await row.textContent(), /Take off \(alpha\): done/);

    // A refusal arrives in words, as a local one would.
    await page.click('#btn-takeoff');
    await page.locator('.toast.error', {hasText: 'Take off (alpha) failed'}).waitFor({timeout: 15000});

    assert.deepEqual(pageErrors, []);
    assert.ok(requests.some((u) => u.startsWith(wsUrl)));
});
