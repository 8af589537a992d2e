import {test} from 'node:test';
import assert from 'node:assert/strict';
import {degToRad, radToDeg, distance, offset, bearing, formatDuration} from '../../web/js/units.js';
import {legDistance, legEntersCircle, zoneConflicts, samplePath} from '../../web/js/geo.js';

const near = (actual, expected, tolerance, what) =>
    assert.ok(Math.abs(actual - expected) <= tolerance, `${what}: ${actual} is not within ${tolerance} of ${expected}`);

test('degrees and radians convert both ways without drift', () => {
    assert.equal(degToRad(180), Math.PI);
    assert.equal(radToDeg(Math.PI / 2), 90);
    near(radToDeg(degToRad(47.3977)), 47.3977, 1e-12, 'round trip');
});

test('distances and offsets agree with each other', () => {
    const home = {lat: 47.3977, lng: 8.5456};
    near(distance({lat: 0, lng: 0}, {lat: 1, lng: 0}), 111195, 5, 'one degree of latitude');
    for (const heading of [0, 45, 90, 200]) {
        const p = offset(home, heading, 1234);
        near(distance(home, p), 1234, 0.01, `distance at heading ${heading}`);
        near(bearing(home, p), heading, 0.01, `bearing at heading ${heading}`);
    }
});

test('durations read as minutes and seconds, hours when needed', () => {
    assert.equal(formatDuration(65), '1:05');
    assert.equal(formatDuration(3725), '1:02:05');
    assert.equal(formatDuration(Infinity), '–');
});

const centre = {lat: 47.4, lng: 8.55};
const east = (m) => offset(centre, 90, m);
const north = (m) => offset(centre, 0, m);
const shifted = (p, heading, m) => offset(p, heading, m);

const legCases = [
    ['a leg through the middle with both ends outside enters', shifted(east(-1000), 0, 0), east(1000), 300, true],
    ['a leg passing 400 m north of a 300 m circle stays out', shifted(east(-1000), 0, 400), shifted(east(1000), 0, 400), 300, false],
    ['a leg passing 250 m north of a 300 m circle enters', shifted(east(-1000), 0, 250), shifted(east(1000), 0, 250), 300, true],
    ['a leg ending before the circle stays out, though its line would cross', east(-1000), east(-500), 300, false],
    ['a leg ending inside enters', east(-1000), east(-100), 300, true],
    ['a zero-length leg inside enters', north(10), north(10), 300, true],
];

for (const [name, a, b, radius, expected] of legCases) {
    test(name, () => assert.equal(legEntersCircle(a, b, centre, radius), expected));
}

test('the distance from a zone centre to a leg is the perpendicular where it falls inside the leg', () => {
    near(legDistance(shifted(east(-1000), 0, 400), shifted(east(1000), 0, 400), centre), 400, 1, 'perpendicular');
    near(legDistance(east(500), east(1500), centre), 500, 1, 'nearest end');
});

test('zone conflicts name the waypoints inside and the legs that cross', () => {
    const zones = [{lat: centre.lat, lng: centre.lng, radius: 300, name: 'Field'},
                   {lat: 47.0, lng: 8.0, radius: 1000, name: 'Far'}];
    const path = [east(-1000), east(1000), shifted(east(1000), 0, 2000), north(100)];
    const result = zoneConflicts(path, zones);
    assert.equal(result.length, 1);
    assert.equal(result[0].zone.name, 'Field');
    assert.deepEqual(result[0].inside, [3]);
    assert.deepEqual(result[0].legs, [0, 2]);
});

test('path samples leave no gap longer than the spacing and keep both ends', () => {
    const path = [centre, east(25000), shifted(east(25000), 0, 3000), shifted(east(25000), 0, 3100)];
    const samples = samplePath(path, 10000);
    assert.deepEqual(samples[0], centre);
    for (let i = 0; i + 1 < samples.length; ++i)
        assert.ok(distance(samples[i], samples[i + 1]) <= 10000, `gap after sample ${i}`);
    assert.ok(distance(samples[samples.length - 1], path[path.length - 1]) < 5000);
    assert.ok(samples.length <= 8, `${samples.length} samples for a 28 km path`);
});
