// The aircraft of the host that served the page and those of the broker's
// stations, seen as one fleet by the panels and the map.
export class FleetView {
    constructor(local, stations) {
        this.local = local;
        this.stations = stations;
    }

    get(serial) {
        return this.local.get(serial) || this.stations.get(serial);
    }

    list() {
        return [...this.local.list(), ...this.stations.aircraft()];
    }

    forget(serial) {
        return this.local.forget(serial) || this.stations.forget(serial);
    }

    isStale(a) {
        return this.local.isStale(a);
    }

    // The station whose broker carries this aircraft, or null for the host's own.
    remote(serial) {
        const a = this.local.get(serial) ? null : this.stations.get(serial);
        return a ? {station: a.station, sn: a.sn} : null;
    }
}
