// What both browser tests share: the programs of this build, children whose
// output is kept for failure reports, and a headless Chromium with a profile
// of its own.
import {spawn} from 'node:child_process';
import {mkdirSync} from 'node:fs';
import {createServer} from 'node:net';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const BASE = 'http://127.0.0.1:19870';
export const artifacts = path.resolve(process.env.ORU_ARTIFACT_DIR || path.join(root, 'build/browser'));
export const chromiumBin = process.env.ORU_CHROMIUM || '/usr/bin/chromium';
export const bin = (name, variable) => path.resolve(process.env[variable] || path.join(root, 'build/bin', name));
export const homeEnv = (home) => ({
    ...process.env,
    HOME: home,
    XDG_CONFIG_HOME: `${home}/.config`,
    XDG_DATA_HOME: `${home}/.local`,
});

export function run(file, args, env) {
    const child = spawn(file, args, {env, stdio: ['ignore', 'pipe', 'pipe']});
    child.output = '';
    for (const stream of [child.stdout, child.stderr])
        stream.on('data', (chunk) => (child.output = (child.output + chunk).slice(-20000)));
    return child;
}

// Asks first; a child that does not end within 5 s is killed.
export async function stop(child) {
    if (!child || child.exitCode != null || child.signalCode != null) return;
    const exited = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    await exited;
    clearTimeout(timer);
}

export const launchBrowser = (profile) =>
    chromium.launchPersistentContext(profile, {
        executablePath: chromiumBin,
        headless: true,
        viewport: {width: 1440, height: 900},
        args: (
            '--no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking ' +
            '--disable-component-update --disable-sync'
        ).split(' '),
    });

export async function clickMap(page, dx, dy) {
    const box = await page.locator('#map').boundingBox();
    await page.mouse.click(box.x + box.width / 2 + dx, box.y + box.height / 2 + dy);
}

export const freePort = () =>
    new Promise((resolve) => {
        const server = createServer().listen(0, '127.0.0.1', () => {
            const {port} = server.address();
            server.close(() => resolve(port));
        });
    });

// The host on a port of its own, once it serves the page: with simulated
// aircraft unless count is 0, and with whatever else a test adds.
export async function startHost(port, home, count = 2, extraArgs = [], extraEnv = {}) {
    mkdirSync(home, {recursive: true});
    const fleet = count ? ['--simulate', String(count), '--sim-speed', '5'] : [];
    const args = [...fleet, '--port', String(port), ...extraArgs];
    const host = run(bin('oru-host', 'ORU_HOST_BIN'), args, {...homeEnv(home), ...extraEnv});
    for (const deadline = Date.now() + 20000; Date.now() < deadline;) {
        if (host.exitCode != null) throw new Error(`oru-host exited with ${host.exitCode}:\n${host.output}`);
        const up = await fetch(`http://127.0.0.1:${port}/`).then(
            (r) => r.ok,
            () => false,
        );
        if (up) return host;
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
    await stop(host);
    throw new Error(`oru-host did not answer:\n${host.output}`);
}
