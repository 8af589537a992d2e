// The page as a new operator meets it, against a host of its own on a free
// port: the mission each aircraft holds, map clicks that do what the mode
// says, commands that name their aircraft and fit its state, and one way of
// counting waypoints.
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {artifacts, clickMap as clickMapAt, freePort, launchBrowser, startHost, stop} from './fixture.mjs';

let scratch, host, context, page, base, first, second;
const pageErrors = [];

const waitFor = (condition, arg, timeout = 20000) => page.waitForFunction(condition, arg, {timeout});
const shown = (selector) => page.waitForSelector(selector);
const hidden = (selector) => page.waitForSelector(selector, {state: 'hidden', timeout: 5000});
const count = () => page.evaluate(() => window.oru.store.mission.waypoints.length);
const active = () => page.getAttribute('#fleet-list .aircraft[aria-selected="true"]', 'data-serial');
const answered = (cmd) => page.locator(`#log-commands li[data-cmd="${cmd}"][data-state="ok"]`).count();
const select = (serial) => page.click(`#fleet-list .aircraft[data-serial="${serial}"]`);

async function open() {
    await page.goto(`${base}/`);
    await waitFor(() => document.querySelectorAll('#fleet-list .aircraft[data-state="connected"]').length === 2);
}

const clickMap = (dx, dy) => clickMapAt(page, dx, dy);
async function flyHere(dx, dy) {
    const sent = await answered('ClickGo');
    await page.click('#tab-flight');
    await page.click('#btn-flyhere');
    await clickMap(dx, dy);
    await waitFor((n) => document.querySelectorAll('li[data-cmd="ClickGo"][data-state="ok"]').length > n, sent);
}

before(async () => {
    scratch = mkdtempSync(path.join(tmpdir(), 'oru-trust-'));
    const port = await freePort();
    base = `http://127.0.0.1:${port}`;
    host = await startHost(port, path.join(scratch, 'home'));
    context = await launchBrowser(path.join(scratch, 'profile'));
    page = context.pages()[0] || (await context.newPage());
    page.setDefaultTimeout(20000);
    page.on('pageerror', (e) => pageErrors.push(e.message));
    await open();
    [first, second] = await page.$$eval('#fleet-list .aircraft', (cards) => cards.map((c) => c.dataset.serial));
    await select(first);
    await waitFor((s) => window.oru.fleet.get(s)?.state?.status === 'ON_GROUND', first);
    await page.click('#btn-fit');
    await page.evaluate(() => void window.oru.map.map.setZoom(17, {animate: false}));
});

after(async () => {
    await page?.screenshot({path: path.join(artifacts, 'trust.png')}).catch(() => {});
    await context?.close().catch(() => {});
    await stop(host);
    if (scratch) rmSync(scratch, {recursive: true, force: true});
    assert.deepEqual(pageErrors, []);
});

test('the page shows which mission the aircraft holds, also after a fly-here replaced it and a reload', async () => {
    await page.click('#tab-mission');
    for (const dx of [-150, 150]) await clickMap(dx, -100);
    await clickMap(0, 120);
    await page.click('#btn-upload');
    await shown('#onboard-state[data-state="same"]');
    await flyHere(100, 0);
    await shown('#flight-mission[data-state="flyhere"]');
    await page.click('#tab-mission');
    await shown('#onboard-state[data-state="flyhere"]');
    // A reload finds it by asking the aircraft.
    await page.evaluate(() => localStorage.removeItem('oru.onboard'));
    await open();
    await select(first);
    await page.click('#tab-mission');
    await shown('#onboard-state[data-state="flyhere"]');
    assert.equal(await count(), 3);
});

test('Upload and Start name their aircraft, Start warns of an edited draft, each aircraft has its own', async () => {
    assert.match(await page.textContent('#btn-upload'), new RegExp(first));
    assert.match(await page.textContent('#btn-start'), new RegExp(first));
    await page.click('#btn-upload');
    await shown('#upload-progress[data-state="done"]');
    await shown('#onboard-state[data-state="same"]');
    // An edit after the upload: the finished bar goes, and Start says what the aircraft would fly.
    await clickMap(-150, 120);
    await shown('#onboard-state[data-state="differs"]');
    await hidden('#upload-progress');
    await page.click('#btn-start');
    assert.match(await (await shown('#confirm[open]')).textContent(), new RegExp(`${first}.*3 waypoints`));
    await page.click('#confirm-cancel');

    // A click on an aircraft while adding waypoints adds one and keeps the active aircraft.
    await page.click(`.ac-icon[data-serial="${second}"]`);
    assert.deepEqual([await active(), await count()], [first, 5]);
    await select(second);
    assert.equal(await count(), 0);
    await select(first);
    assert.equal(await count(), 5);
});

test('an armed pick ends with a tab switch, Esc or a map mode, and takes a click on an aircraft', async () => {
    await page.click('#tab-flight');
    await page.click('#btn-flyhere');
    assert.match(await page.textContent('#pick-text'), new RegExp(first));
    await page.click('#tab-mission');
    await hidden('#pick-banner');
    const was = [await count(), await answered('ClickGo')];
    await clickMap(-60, 60);
    assert.equal(await count(), was[0] + 1);

    await page.click('#tab-flight');
    await page.click('#btn-flyhere');
    await page.keyboard.press('Escape');
    await hidden('#pick-banner');
    await page.click('#btn-flyhere');
    await page.click('#map-modes [data-mode="look"]');
    await hidden('#pick-banner');
    await page.click('#map-modes [data-mode="edit"]');
    assert.equal(await answered('ClickGo'), was[1]);

    await page.click('#btn-flyhere');
    await page.click(`.ac-icon[data-serial="${second}"]`);
    await hidden('#pick-banner');
    await waitFor((n) => document.querySelectorAll('li[data-cmd="ClickGo"]').length > n, was[1]);
    assert.equal(await active(), first);
});

test('controls follow the aircraft state, and Hold and Return home stop a fly-here from the Flight tab', async () => {
    await select(second);
    await page.click('#tab-flight');
    const off = await page.$$eval('#btn-hold, #btn-land, #btn-pause, #btn-cancel', (all) =>
        all.map((b) => `${b.disabled} ${b.title}`),
    );
    off.forEach((text) => assert.match(text, /^true .*(no mission|on the ground)/));

    await select(first);
    await flyHere(-250, -200);
    await waitFor((s) => window.oru.fleet.get(s)?.state?.status === 'MISSION', first);
    await page.click('#btn-hold');
    await waitFor((s) => window.oru.fleet.get(s)?.state?.status === 'MISSION_PAUSED', first);
    assert.match(await page.getAttribute('#btn-home', 'title'), /home/);
    await page.click('#btn-home');
    const atHome = () =>
        /^Hovering,[0-2] m$/.test(['tm-status', 'tm-home'].map((id) => document.getElementById(id).textContent).join());
    await page.waitForFunction(atHome, null, {timeout: 40000});

    // Land asks first, naming the aircraft.
    await page.click('#btn-land');
    assert.match(await (await shown('#confirm[open]')).textContent(), new RegExp(first));
    await page.click('#confirm-cancel');
    assert.equal(await page.evaluate((s) => window.oru.fleet.get(s).state.status, first), 'HOVERING');
});

test("the aircraft's refusals count waypoints from 1 as the page does", async () => {
    await select(second);
    await page.click('#tab-mission');
    await page.click('#btn-clear');
    await page.evaluate((s) => {
        const {lat, lng} = window.oru.fleet.get(s).home;
        window.oru.store.add(lat + 0.0005, lng);
        window.oru.store.add(lat + 0.06, lng);
    }, second);
    assert.match(await (await shown('#checks-list li[data-code="max-distance"]')).textContent(), /^Waypoint 2:/);
    await page.click('#btn-upload');
    await page.click('#btn-upload-anyway');
    assert.match(await (await shown('.toast.error:has-text("Upload")')).textContent(), /waypoint 2:/);
});
