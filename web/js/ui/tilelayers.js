// Map tiles the host serves, beneath the page's drawings: its offline packs,
// its online source, and the outline (countries and grid, drawn by the map
// view), which needs nothing and is always there, under the tiles and as a
// layer of its own.
import * as L from '/vendor/leaflet/dist/leaflet-src.esm.js';

const OUTLINE = 'Outline';
const ONLINE = 'online';

// Attribution from a pack's metadata may carry markup; only its text is shown.
const plainText = (html) => new DOMParser().parseFromString(String(html ?? ''), 'text/html').body.textContent.trim();
const escapeHtml = (text) =>
    text.replace(/[&<>"']/g, (c) => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'})[c]);

function tileLayer(layer) {
    const options = {
        pane: 'tiles',
        minZoom: layer.minzoom,
        maxNativeZoom: layer.maxzoom,
        maxZoom: 20,
        attribution: escapeHtml(plainText(layer.attribution)),
        className: 'tiles',
    };
    if (Array.isArray(layer.bounds) && layer.bounds.length === 4) {
        const [west, south, east, north] = layer.bounds;
        options.bounds = L.latLngBounds([south, west], [north, east]);
    }
    return L.tileLayer(`/tiles/${encodeURIComponent(layer.name)}/{z}/{x}/{y}`, options);
}

// Resolves when the layers are on the map. A host without tiles adds nothing,
// and the map stays as it was.
export async function addTileLayers(map) {
    let layers = [];
    try {
        const response = await fetch('/tiles');
        if (response.ok) layers = await response.json();
    } catch {
        // A host that serves no tiles: the outline alone.
    }
    if (!Array.isArray(layers) || !layers.length) return;
    map.createPane('tiles').style.zIndex = 155;
    L.control.attribution({prefix: false}).addTo(map);
    const bases = {};
    for (const layer of layers) bases[layer.name === ONLINE ? 'Online' : layer.name] = tileLayer(layer);
    bases[OUTLINE] = L.layerGroup();
    Object.values(bases)[0].addTo(map);
    L.control.layers(bases, null, {position: 'bottomright'}).addTo(map);
    const online = layers.find((layer) => layer.name === ONLINE);
    if (online) keepControl(map, online.keepmaxzoom).addTo(map);
}

// "Keep this area offline": the visible area over a range of zooms, fetched
// by the host into its cache through /tiles/keep. The host counts the tiles
// and holds to its source's limits; closing the connection cancels.
function keepControl(map, maxZoom) {
    const control = L.control({position: 'bottomright'});
    control.onAdd = () => {
        const box = L.DomUtil.create('div', 'leaflet-bar tile-keep');
        box.innerHTML = `<button type="button" class="keep-open">Keep this area offline</button>
<div class="keep-panel" hidden>
  <label>Zoom <input type="number" class="keep-min" min="0" max="${maxZoom}"> to <input type="number" class="keep-max" min="0" max="${maxZoom}"></label>
  <p class="keep-count"></p>
  <div class="progress" hidden><div class="bar"><div class="fill" role="progressbar" aria-valuemin="0" aria-valuemax="100"></div></div></div>
  <div class="button-row"><button type="button" class="keep-start primary">Keep</button><button type="button" class="keep-cancel secondary">Cancel</button></div>
</div>`;
        L.DomEvent.disableClickPropagation(box);
        L.DomEvent.disableScrollPropagation(box);
        const $ = (selector) => box.querySelector(selector);
        const panel = $('.keep-panel');
        const count = $('.keep-count');
        const progress = $('.progress');
        const fill = $('.fill');
        let socket = null;
        let running = false;

        const area = () => {
            const b = map.getBounds();
            return {
                SOUTH: Math.max(b.getSouth(), -85.05),
                WEST: Math.max(b.getWest(), -180),
                NORTH: Math.min(b.getNorth(), 85.05),
                EAST: Math.min(b.getEast(), 180),
                MIN_ZOOM: Number($('.keep-min').value),
                MAX_ZOOM: Number($('.keep-max').value),
            };
        };
        const show = (text, state = '') => {
            count.textContent = text;
            count.dataset.state = state;
        };
        const onMessage = (event) => {
            const message = JSON.parse(event.data);
            if (message.CMD === 'COUNT') {
                show(message.ERROR || `${message.TILES} tiles`, message.ERROR ? 'refused' : 'ready');
                $('.keep-start').disabled = !!message.ERROR || running;
            } else if (message.EVENT === 'PROGRESS') {
                const percent = message.TOTAL ? Math.round((100 * message.DONE) / message.TOTAL) : 100;
                fill.style.width = `${percent}%`;
                fill.setAttribute('aria-valuenow', String(percent));
                show(
                    `${message.DONE} of ${message.TOTAL} tiles${message.FAILED ? `, ${message.FAILED} failed` : ''}`,
                    'running',
                );
            } else if (message.EVENT === 'FINISHED') {
                running = false;
                progress.dataset.state = message.STATE === 'done' ? 'done' : 'failed';
                show(
                    {done: 'Kept: this area now works offline.', cancelled: 'Cancelled.'}[message.STATE] ||
                        `Not kept: ${message.REASON}`,
                    message.STATE,
                );
                $('.keep-start').disabled = false;
            }
        };
        // One connection while the panel is open; the host answers on it.
        const send = (message) => {
            if (!socket || socket.readyState > WebSocket.OPEN) {
                socket = new WebSocket(`ws://${location.host}/tiles/keep`);
                socket.onmessage = onMessage;
                socket.onclose = () => {
                    if (running) show('The connection to the host was lost; keeping stopped.', 'failed');
                    running = false;
                    socket = null;
                };
            }
            const text = JSON.stringify(message);
            if (socket.readyState === WebSocket.OPEN) socket.send(text);
            else socket.addEventListener('open', () => socket.send(text), {once: true});
        };
        const recount = () => {
            show('Counting…');
            send({CMD: 'COUNT', ...area()});
        };

        $('.keep-open').addEventListener('click', () => {
            panel.hidden = !panel.hidden;
            if (panel.hidden) return;
            const zoom = Math.min(Math.floor(map.getZoom()), maxZoom);
            $('.keep-min').value = zoom;
            $('.keep-max').value = Math.min(zoom + 2, maxZoom);
            recount();
        });
        $('.keep-min').addEventListener('change', recount);
        $('.keep-max').addEventListener('change', recount);
        map.on('moveend', () => {
            if (!panel.hidden && !running) recount();
        });
        $('.keep-start').addEventListener('click', () => {
            running = true;
            $('.keep-start').disabled = true;
            progress.hidden = false;
            delete progress.dataset.state;
            fill.style.width = '0';
            send({CMD: 'KEEP', ...area()});
        });
        $('.keep-cancel').addEventListener('click', () => {
            if (running) send({CMD: 'CANCEL'});
            else {
                panel.hidden = true;
                socket?.close();
            }
        });
        return box;
    };
    return control;
}
