// The map: an offline base (country outlines and a grid), the aircraft with
// their trails and homes, the mission being edited, the mission reported by
// the aircraft, and the no-fly zones.
import * as L from '/vendor/leaflet/dist/leaflet-src.esm.js';
import {feature} from '/vendor/topojson-client/src/index.js';
import {Emitter} from '../model/emitter.js';
import {graticuleLines} from '../geo/graticule.js';
import {zoneKey} from '../geo/zones.js';

// Width and height a grid label takes, in pixels, about.
const LABEL_SIZE = [70, 14];

const ARROW_SVG = (color) => `<svg class="arrow" viewBox="0 0 34 34" aria-hidden="true">
<path d="M17 3 L27 29 L17 23 L7 29 Z" fill="${color}" stroke="#fff" stroke-width="2" stroke-linejoin="round"/></svg>`;

// Serial numbers come from stations the page does not control.
const escapeHtml = (text) =>
    String(text).replace(/[&<>"']/g, (c) => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'})[c]);

export class MapView extends Emitter {
    constructor(element) {
        super();
        this.map = L.map(element, {
            zoomControl: true,
            attributionControl: false,
            worldCopyJump: true,
            minZoom: 2,
            maxZoom: 20,
            zoomSnap: 0.5,
            boxZoom: true,
        }).setView([30, 0], 2);
        this.map.createPane('base').style.zIndex = 150;
        this.map.createPane('grid').style.zIndex = 160;
        this.map.createPane('zones').style.zIndex = 380;
        this.map.createPane('zonelabels').style.zIndex = 640;
        this.map.createPane('onboard').style.zIndex = 390;
        this.baseRenderer = L.canvas({pane: 'base', padding: 0.3});
        L.control.scale({imperial: false, maxWidth: 160, position: 'bottomleft'}).addTo(this.map);

        this.grid = L.layerGroup().addTo(this.map);
        this.zoneLayer = L.layerGroup().addTo(this.map);
        this.onboardLayer = L.layerGroup().addTo(this.map);
        this.missionLayer = L.layerGroup().addTo(this.map);
        this.limitLayer = L.layerGroup().addTo(this.map);
        this.fleetLayer = L.layerGroup().addTo(this.map);
        this.aircraft = new Map();
        this.zoneKeys = new Set();
        this.mode = 'edit';
        this.pick = null;
        this.target = null;
        this.wpMarkers = [];

        this.map.on('click', (e) => this.onClick(e));
        this.map.on('moveend', () => {
            this.drawGrid();
            this.updateZoneLabels();
            this.emit('moveend', this.map.getBounds(), this.map.getZoom());
        });
        this.map.on('zoomend', () => this.emit('zoomed'));
        // A drag by the user means they want to look elsewhere.
        this.map.on('dragstart', () => this.emit('userpan'));
        this.drawGrid();
        this.updateZoneLabels();
    }

    async loadBase(url) {
        const response = await fetch(url);
        if (!response.ok) throw new Error(`base map: HTTP ${response.status}`);
        const topology = await response.json();
        const countries = feature(topology, topology.objects.countries);
        L.geoJSON(countries, {
            pane: 'base',
            renderer: this.baseRenderer,
            interactive: false,
            style: {color: '#a9b39c', weight: 0.8, fillColor: '#f2f0e6', fillOpacity: 1},
        }).addTo(this.map);
    }

    drawGrid() {
        const b = this.map.getBounds();
        const {lines} = graticuleLines({
            south: b.getSouth(),
            west: b.getWest(),
            north: b.getNorth(),
            east: b.getEast(),
        });
        this.grid.clearLayers();
        const inset = this.map.containerPointToLatLng([8, this.map.getSize().y - 40]);
        const controls = this.leftControlBoxes();
        for (const line of lines) {
            L.polyline(line.coords, {
                pane: 'grid',
                color: '#7d93a6',
                weight: 0.7,
                opacity: 0.45,
                interactive: false,
            }).addTo(this.grid);
            let at = line.kind === 'lat' ? [line.value, inset.lng] : [inset.lat, line.value];
            // Labels run along the left and bottom edges, where the zoom,
            // go-to and scale controls sit: a latitude moves beside them,
            // a longitude under them is left out (its neighbours show).
            const {x, y} = this.map.latLngToContainerPoint(at);
            const [w, h] = LABEL_SIZE;
            const label = line.kind === 'lat' ? [x, y - h, x + w, y] : [x + 3, y, x + 3 + w, y + h];
            const under = controls.filter(
                (c) => c[0] < label[2] && label[0] < c[2] && c[1] < label[3] && label[1] < c[3],
            );
            if (under.length && line.kind === 'lng') continue;
            if (under.length) at = this.map.containerPointToLatLng([Math.max(...under.map((c) => c[2])) + 6, y]);
            L.marker(at, {
                pane: 'grid',
                interactive: false,
                keyboard: false,
                icon: L.divIcon({
                    className: 'graticule-label',
                    html: line.label,
                    iconSize: null,
                    iconAnchor: line.kind === 'lat' ? [0, LABEL_SIZE[1]] : [-3, 0],
                }),
            }).addTo(this.grid);
        }
    }

    // [left, top, right, bottom] of each control on the left, in map pixels.
    leftControlBoxes() {
        const frame = this.map.getContainer().getBoundingClientRect();
        return [...this.map.getContainer().querySelectorAll('.leaflet-left .leaflet-control')].map((control) => {
            const r = control.getBoundingClientRect();
            return [r.left - frame.left, r.top - frame.top, r.right - frame.left, r.bottom - frame.top];
        });
    }

    // Clicks on the map: add a waypoint, answer a pending pick, or nothing.
    onClick(e) {
        const point = {lat: e.latlng.lat, lng: L.Util.wrapNum(e.latlng.lng, [-180, 180], true)};
        if (this.answerPick(point)) return;
        if (this.mode === 'edit') this.emit('addpoint', point);
    }

    answerPick(point) {
        if (!this.pick) return false;
        const {resolve} = this.pick;
        this.endPick();
        resolve(point);
        return true;
    }

    // A click on an aircraft answers a pick or adds a waypoint there as a
    // click beside it would; only in Look mode does it choose the aircraft.
    onAircraftClick(e, serial) {
        const point = {lat: e.latlng.lat, lng: L.Util.wrapNum(e.latlng.lng, [-180, 180], true)};
        if (this.answerPick(point)) return;
        if (this.mode === 'edit') this.emit('addpoint', point);
        else this.emit('selectaircraft', serial);
    }

    // Another map mode ends a pending pick.
    setMode(mode) {
        this.mode = mode;
        this.cancelPick();
    }

    // Resolves with the next clicked point, or null when cancelled.
    pickPoint() {
        this.cancelPick();
        this.map.getContainer().classList.add('crosshair');
        return new Promise((resolve) => {
            this.pick = {resolve};
        });
    }

    cancelPick() {
        if (this.pick) this.answerPick(null);
    }

    endPick() {
        this.pick = null;
        this.map.getContainer().classList.remove('crosshair');
        this.emit('pickended');
    }

    // a: fleet entry; options: {color, selected, age: seconds since its last report or null}
    updateAircraft(a, {color, selected, age = null}) {
        let entry = this.aircraft.get(a.serial);
        const position = a.state && a.state.lat != null ? [a.state.lat, a.state.lng] : null;
        if (!entry) {
            entry = {
                marker: null,
                trail: L.polyline([], {color, weight: 2.5, opacity: 0.7, interactive: false}).addTo(this.fleetLayer),
                home: null,
            };
            this.aircraft.set(a.serial, entry);
        }
        if (position) {
            if (!entry.marker) {
                entry.marker = L.marker(position, {
                    icon: L.divIcon({
                        className: 'ac-icon',
                        html: `${ARROW_SVG(color)}<span class="tag"></span>`,
                        iconSize: [34, 34],
                        iconAnchor: [17, 17],
                    }),
                    zIndexOffset: 1000,
                    keyboard: false,
                }).addTo(this.fleetLayer);
                entry.marker.on('click', (e) => this.onAircraftClick(e, a.serial));
            }
            entry.marker.setLatLng(position);
            const el = entry.marker.getElement();
            if (el) {
                el.querySelector('.arrow').style.transform = `rotate(${a.state.yaw || 0}deg)`;
                const height = a.state.height != null ? ` · ${Math.round(a.state.height)} m` : '';
                el.querySelector('.tag').textContent = `${a.serial}${height}${age != null ? ` · ${age} s old` : ''}`;
                el.classList.toggle('selected', selected);
                el.classList.toggle('stale', age != null);
                el.classList.toggle('lost', !a.connected);
                el.dataset.serial = a.serial;
            }
            entry.marker.setZIndexOffset(selected ? 2000 : 1000);
        }
        entry.trail.setLatLngs(a.trail.map((p) => [p.lat, p.lng]));
        entry.trail.setStyle({opacity: selected ? 0.85 : 0.5});
        if (a.home) {
            if (!entry.home) {
                entry.home = L.marker([a.home.lat, a.home.lng], {
                    icon: L.divIcon({
                        className: '',
                        html: `<div class="home-icon" style="border-color:${color};color:${color}" title="Home of ${escapeHtml(a.serial)}">H</div>`,
                        iconSize: [20, 20],
                        iconAnchor: [10, 10],
                    }),
                    keyboard: false,
                    interactive: false,
                }).addTo(this.fleetLayer);
            }
            entry.home.setLatLng([a.home.lat, a.home.lng]);
        }
    }

    removeAircraft(serial) {
        const entry = this.aircraft.get(serial);
        if (!entry) return;
        for (const layer of [entry.marker, entry.trail, entry.home]) {
            if (layer) layer.remove();
        }
        this.aircraft.delete(serial);
    }

    aircraftPosition(serial) {
        const entry = this.aircraft.get(serial);
        return entry && entry.marker ? entry.marker.getLatLng() : null;
    }

    // Dashed circle of how far from home the aircraft may fly.
    setLimitCircle(home, radius) {
        const key = home && radius > 0 ? `${home.lat},${home.lng},${radius}` : '';
        if (key === this.limitKey) return;
        this.limitKey = key;
        this.limitLayer.clearLayers();
        if (home && radius > 0) {
            L.circle([home.lat, home.lng], {
                radius,
                color: '#1e6fd9',
                weight: 1.2,
                dashArray: '6 6',
                fill: false,
                interactive: false,
            }).addTo(this.limitLayer);
        }
    }

    // mission: editor model; flagged: indices with findings; active: index
    // being flown to by the selected aircraft, or -1.
    setMission(mission, selectedId, flagged = new Set(), active = -1) {
        this.missionLayer.clearLayers();
        const wps = mission.waypoints;
        const path = L.polyline(
            wps.map((w) => [w.lat, w.lng]),
            {color: '#2b3b4d', weight: 3, opacity: 0.85, interactive: false},
        ).addTo(this.missionLayer);
        const points = wps.map((w) => this.map.latLngToLayerPoint([w.lat, w.lng]));
        this.wpMarkers = wps.map((w, i) => {
            // A waypoint on top of an earlier one (a closed loop) sits beside it.
            const covers = points.slice(0, i).some((p) => p.distanceTo(points[i]) < 14);
            const classes = ['wp-icon'];
            if (w.id === selectedId) classes.push('selected');
            if (flagged.has(i)) classes.push('flagged');
            if (i === active) classes.push('active');
            const marker = L.marker([w.lat, w.lng], {
                draggable: true,
                autoPan: true,
                keyboard: false,
                zIndexOffset: w.id === selectedId ? 500 : 0,
                icon: L.divIcon({
                    className: '',
                    html: `<div class="${classes.join(' ')}" data-wp="${i + 1}">${i + 1}</div>`,
                    iconSize: [26, 26],
                    iconAnchor: covers ? [-3, 29] : [13, 13],
                }),
                title: `Waypoint ${i + 1}: ${Math.round(w.alt)} m above home`,
            }).addTo(this.missionLayer);
            marker.on('click', (e) => this.answerPick(e.latlng) || this.emit('selectwaypoint', w.id));
            marker.on('drag', () => {
                const latlngs = path.getLatLngs();
                latlngs[i] = marker.getLatLng();
                path.setLatLngs(latlngs);
            });
            marker.on('dragend', () => {
                const p = marker.getLatLng();
                this.emit('movewaypoint', w.id, {lat: p.lat, lng: p.lng});
            });
            return marker;
        });
        // Handles in the middle of every leg insert a waypoint there; on legs
        // too short on screen they would only hide the waypoints.
        for (let i = 0; i + 1 < wps.length; ++i) {
            const a = this.map.latLngToLayerPoint([wps[i].lat, wps[i].lng]);
            const b = this.map.latLngToLayerPoint([wps[i + 1].lat, wps[i + 1].lng]);
            if (a.distanceTo(b) < 60) continue;
            const mid = [(wps[i].lat + wps[i + 1].lat) / 2, (wps[i].lng + wps[i + 1].lng) / 2];
            const handle = L.marker(mid, {
                keyboard: false,
                title: `Insert a waypoint between ${i + 1} and ${i + 2}`,
                icon: L.divIcon({
                    className: '',
                    html: '<div class="mid-icon">+</div>',
                    iconSize: [14, 14],
                    iconAnchor: [7, 7],
                }),
            }).addTo(this.missionLayer);
            handle.on('click', () => this.emit('insertwaypoint', i + 1, {lat: mid[0], lng: mid[1]}));
        }
    }

    setOnboard(mission) {
        this.onboardLayer.clearLayers();
        if (!mission) return;
        const latlngs = mission.waypoints.map((w) => [w.lat, w.lng]);
        L.polyline(latlngs, {
            pane: 'onboard',
            color: '#7b3fc4',
            weight: 3,
            dashArray: '8 6',
            opacity: 0.9,
            interactive: false,
        }).addTo(this.onboardLayer);
        latlngs.forEach((p, i) => {
            L.marker(p, {
                pane: 'onboard',
                interactive: false,
                keyboard: false,
                icon: L.divIcon({
                    className: '',
                    html: `<div class="onboard-icon">${i + 1}</div>`,
                    iconSize: [16, 16],
                    iconAnchor: [8, 8],
                }),
            }).addTo(this.onboardLayer);
        });
    }

    addZones(zones) {
        for (const z of zones) {
            const key = zoneKey(z);
            if (this.zoneKeys.has(key)) continue;
            this.zoneKeys.add(key);
            const circle = L.circle([z.lat, z.lng], {
                pane: 'zones',
                radius: Math.max(z.radius, 1),
                color: '#c4352b',
                weight: 1.5,
                fillColor: '#e0544a',
                fillOpacity: 0.18,
                className: 'zone-circle',
            }).addTo(this.zoneLayer);
            circle.bindTooltip(z.name || 'No-fly zone', {
                permanent: true,
                direction: 'center',
                className: 'zone-label',
                pane: 'zonelabels',
            });
        }
    }

    // Zone names crowd the map when zoomed far out.
    // The zone database's state, shown where the zones are drawn.
    setZoneState(text, state) {
        if (!this.zoneState) {
            this.zoneState = L.control({position: 'bottomleft'});
            this.zoneState.onAdd = () => L.DomUtil.create('div', 'map-legend zone-state');
            this.zoneState.addTo(this.map);
        }
        const box = this.zoneState.getContainer();
        box.textContent = text;
        box.dataset.state = state;
    }

    updateZoneLabels() {
        this.map.getPane('zonelabels').style.display = this.map.getZoom() >= 10 ? '' : 'none';
    }

    // The fly-here target of one aircraft, until it gets there.
    setTarget(point, owner = null) {
        this.targetOwner = point ? owner : null;
        if (this.target) {
            this.target.remove();
            this.target = null;
        }
        if (point) {
            this.target = L.marker([point.lat, point.lng], {
                interactive: false,
                keyboard: false,
                icon: L.divIcon({
                    className: '',
                    html: '<div class="target-icon" title="Fly-here target"></div>',
                    iconSize: [24, 24],
                    iconAnchor: [12, 12],
                }),
            }).addTo(this.map);
        }
    }

    fit(points, maxZoom = 17) {
        const valid = points.filter((p) => p && Number.isFinite(p.lat) && Number.isFinite(p.lng));
        if (!valid.length) return false;
        const bounds = L.latLngBounds(valid.map((p) => [p.lat, p.lng]));
        this.map.fitBounds(bounds.pad(0.15), {maxZoom, padding: [40, 40], animate: false});
        return true;
    }

    panTo(point) {
        this.map.panTo([point.lat, point.lng]);
    }

    centreOn(point) {
        const here = this.map.getCenter();
        const px = this.map.latLngToContainerPoint([point.lat, point.lng]);
        const size = this.map.getSize();
        // Only move when the aircraft leaves the middle of the view, so the
        // map does not jitter with every report.
        const margin = 0.3;
        if (
            px.x < size.x * margin ||
            px.x > size.x * (1 - margin) ||
            px.y < size.y * margin ||
            px.y > size.y * (1 - margin) ||
            !Number.isFinite(here.lat)
        )
            this.map.panTo([point.lat, point.lng], {animate: true, duration: 0.4});
    }

    view() {
        return {bounds: this.map.getBounds(), zoom: this.map.getZoom(), centre: this.map.getCenter()};
    }

    invalidate() {
        this.map.invalidateSize();
    }
}
