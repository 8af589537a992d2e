// The page on a host that serves an offline pack: at mission zoom the map
// draws the pack's tiles, credits them, and offers the outline beside them.
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {freePort, launchBrowser, startHost, stop} from './fixture.mjs';

// One transparent pixel; Leaflet stretches it over the tile.
const PNG = Buffer.from(
    'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==',
    'base64',
).toString('hex');
const [LAT, LNG, Z] = [47.3769, 8.5417, 17];
const column = Math.floor(((LNG + 180) / 360) * 2 ** Z);
const rad = (LAT * Math.PI) / 180;
const row = Math.floor(((1 - Math.log(Math.tan(rad) + 1 / Math.cos(rad)) / Math.PI) / 2) * 2 ** Z);

let scratch;
let host;
let context;
before(async () => {
    scratch = mkdtempSync(path.join(tmpdir(), 'oru-tiles-'));
    const pack = path.join(scratch, 'pack.mbtiles');
    const tiles = [];
    for (let x = column - 6; x <= column + 6; ++x)
        for (let y = row - 4; y <= row + 4; ++y) tiles.push(`(${Z}, ${x}, ${2 ** Z - 1 - y}, X'${PNG}')`);
    const sql = `CREATE TABLE metadata (name TEXT, value TEXT);
INSERT INTO metadata VALUES ('format', 'png'), ('minzoom', '15'), ('maxzoom', '17'),
  ('attribution', '<a href="https://maps.example/">© Test Maps</a>');
CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, tile_data BLOB);
CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);
INSERT INTO tiles VALUES ${tiles.join(',')};`;
    const made = spawnSync('sqlite3', [pack], {input: sql});
    assert.equal(made.status, 0, `sqlite3 (make deps installs it): ${made.stderr}`);
    const home = path.join(scratch, 'home');
    const port = await freePort();
    host = await startHost(port, home, 0, ['--tiles', pack], {XDG_CACHE_HOME: `${home}/.cache`});
    host.base = `http://127.0.0.1:${port}`;
    context = await launchBrowser(path.join(scratch, 'profile'));
});

after(async () => {
    await context?.close().catch(() => {});
    await stop(host);
    if (scratch) rmSync(scratch, {recursive: true, force: true});
});

test('at mission zoom the map draws tiles from the pack', async () => {
    const page = context.pages()[0] || (await context.newPage());
    const requests = [];
    page.on('request', (r) => requests.push(r.url()));
    await context.route(
        (url) => !url.href.startsWith(host.base),
        (route) => route.abort(),
    );
    assert.ok((await page.goto(`${host.base}/`))?.ok());
    await page.fill('#goto-input', `${LAT}, ${LNG}`);
    await page.press('#goto-input', 'Enter');
    await page.evaluate((z) => void window.oru.map.map.setZoom(z, {animate: false}), Z);
    await page.waitForFunction(
        (z) =>
            [...document.querySelectorAll(`img.leaflet-tile-loaded[src*="/tiles/pack/${z}/"]`)].some(
                (img) => img.naturalWidth > 0,
            ),
        Z,
        {timeout: 15000},
    );
    // The pack's credit is shown as text, its markup dropped.
    assert.match(await page.textContent('.leaflet-control-attribution'), /© Test Maps/);
    assert.equal(await page.locator('.leaflet-control-attribution a').count(), 0);
    const layers = await page.locator('.leaflet-control-layers-base label').allTextContents();
    assert.deepEqual(
        layers.map((t) => t.trim()),
        ['pack', 'Outline'],
    );
    assert.deepEqual(
        requests.filter((u) => !u.startsWith(host.base) && !u.startsWith('data:')),
        [],
    );
});
