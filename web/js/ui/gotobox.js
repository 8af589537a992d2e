// A box on the map to go to coordinates typed or pasted in decimal degrees,
// latitude first: "47.3769, 8.5417" or "47.3769 8.5417".
import * as L from '/vendor/leaflet/dist/leaflet-src.esm.js';

export function parseCoordinates(text) {
    const match = /^\s*([-+]?\d{1,3}(?:\.\d+)?)°?\s*[,;\s]\s*([-+]?\d{1,3}(?:\.\d+)?)°?\s*$/.exec(text);
    if (!match) return null;
    const [lat, lng] = [Number(match[1]), Number(match[2])];
    return Math.abs(lat) <= 90 && Math.abs(lng) <= 180 ? {lat, lng} : null;
}

export function addGotoBox(map) {
    const control = L.control({position: 'topleft'});
    control.onAdd = () => {
        const form = L.DomUtil.create('form', 'leaflet-bar goto-box');
        form.innerHTML = `<input type="text" id="goto-input" placeholder="lat, lng" aria-label="Go to coordinates" autocomplete="off" spellcheck="false">
<button type="submit" title="Go to these coordinates">Go</button>`;
        L.DomEvent.disableClickPropagation(form);
        const input = form.querySelector('input');
        input.addEventListener('input', () => input.classList.remove('invalid'));
        form.addEventListener('submit', (event) => {
            event.preventDefault();
            const point = parseCoordinates(input.value);
            input.classList.toggle('invalid', !point);
            input.title = point ? '' : 'Latitude and longitude in degrees, such as 47.3769, 8.5417';
            // Close enough to plan at, never further out than the user already is.
            if (point) map.setView([point.lat, point.lng], Math.max(map.getZoom(), 16));
        });
        return form;
    };
    control.addTo(map);
}
