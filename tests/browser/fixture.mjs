// What both browser tests share: the programs of this build, children whose
// output is kept for failure reports, and a headless Chromium with a profile
// of its own.
import {spawn} from 'node:child_process';
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
