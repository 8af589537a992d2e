#!/usr/bin/env python3
"""Runs the benchmarks, prints a table and writes results.json (flat, numbers only).

Every figure stands beside a baseline measured in the same run, so the ratio
holds on a busy machine even when the absolute figures do not.
"""
import argparse
import contextlib
import json
import os
import platform
import signal
import socket
import subprocess
import sys
import time

SIZES = [("10k", 10_000), ("100k", 100_000), ("1m", 1_000_000)]
HOST_PORT = 19870
FLEETS = [10, 100, 1000, 2000, 3000, 4000]
# Qt's own event loop beside ours, up to where it still keeps up.
QT_FLEETS = [10, 100, 1000, 2000]
EVENT_LOOP = "ORU_EVENT_LOOP"


def run_json(command):
    output = subprocess.run(command, check=False, capture_output=True, text=True)
    lines = [line for line in output.stdout.splitlines() if line.startswith("{")]
    if not lines:
        sys.stderr.write(output.stderr)
        raise RuntimeError("no figures from " + " ".join(command))
    return json.loads(lines[-1])


def nofly(bin_dir, out_dir, anchors, results):
    tool = os.path.join(bin_dir, "bench_nofly")
    zone_dir = os.path.join(out_dir, "zones")
    os.makedirs(zone_dir, exist_ok=True)
    files = [("default", anchors)]
    for name, count in SIZES:
        path = os.path.join(zone_dir, f"limit-{name}.txt")
        if not os.path.exists(path):
            print(f"generating {count} zones ...", flush=True)
            subprocess.run([tool, "generate", anchors, str(count), path], check=True)
        files.append((name, path))
    for name, path in files:
        print(f"no-fly zones: {name} ...", flush=True)
        load = run_json([tool, "load", path])
        # The brute-force scan costs a full pass per point, so fewer points check it.
        checked = 100 if name != "1m" else 60
        query = run_json([tool, "query", path, "2000", str(checked), anchors])
        prefix = f"nofly_{name}_"
        results[prefix + "zones"] = load["zones"]
        results[prefix + "load_s"] = round(load["load_s"], 4)
        results[prefix + "load_cpu_s"] = round(load["load_cpu_s"], 4)
        results[prefix + "load_peak_mib"] = round(load["peak_mib"], 1)
        results[prefix + "steady_mib"] = round(load["steady_mib"], 1)
        results[prefix + "steady_bytes_per_zone"] = round(load["steady_bytes_per_zone"], 1)
        results[prefix + "query_p50_us"] = round(query["query_p50_us"], 2)
        results[prefix + "query_p99_us"] = round(query["query_p99_us"], 2)
        results[prefix + "results_mean"] = round(query["mean_found"], 1)
        results[prefix + "brute_p50_us"] = round(query["brute_p50_us"], 1)
        results[prefix + "band_scan_p50_us"] = round(query["band_p50_us"], 1)
        results[prefix + "speedup"] = round(query["speedup"], 1)
        results[prefix + "track_query_p50_us"] = round(query["track_p50_us"], 2)
        results[prefix + "track_query_p99_us"] = round(query["track_p99_us"], 2)
        results[prefix + "track_results_mean"] = round(query["track_mean_found"], 1)
        results[prefix + "search_p50_us"] = round(query["search_p50_us"], 2)
        results[prefix + "search_p99_us"] = round(query["search_p99_us"], 2)
        results[prefix + "edge_query_p50_us"] = round(query["edge_p50_us"], 2)
        results[prefix + "edge_query_p99_us"] = round(query["edge_p99_us"], 2)
        results[prefix + "edge_band_scan_p50_us"] = round(query["edge_band_p50_us"], 1)
        results[prefix + "edge_results_mean"] = round(query["edge_mean_found"], 1)
        results[prefix + "mismatches"] = query["mismatches"]
        if name in ("default", "100k"):
            qt = run_json([tool, "load", path, "qt"])
            results[prefix + "qt_load_s"] = round(qt["load_s"], 4)
            results[prefix + "qt_load_peak_mib"] = round(qt["peak_mib"], 1)
            same = run_json([tool, "same", path])
            results[prefix + "readers_identical"] = same["identical"]


def codec(bin_dir, results):
    print("codec ...", flush=True)
    output = subprocess.run([os.path.join(bin_dir, "bench_codec"), "--benchmark_format=json",
                             "--benchmark_min_time=0.5"],
                            check=True, capture_output=True, text=True)
    figures = {b["name"].split("/")[0]: b["real_time"] for b in json.loads(output.stdout)["benchmarks"]}
    results["codec_50wp_us"] = round(figures["codecRoundTrip"], 2)
    results["codec_to_struct_50wp_us"] = round(figures["missionToStruct"], 2)
    results["codec_to_json_50wp_us"] = round(figures["missionToJson"], 2)


def port_open(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.settimeout(0.2)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15; the split starts at field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Host:
    """One oru-host of our own: started, waited for, and always stopped."""

    def __init__(self, bin_dir, out_dir, args, name, port=HOST_PORT, event_loop="epoll"):
        if port_open(port):
            raise RuntimeError(f"port {port} is taken by another program; stop it first")
        if port != HOST_PORT:
            args = args + ["--port", str(port)]
        self.log = open(os.path.join(out_dir, f"{name}.log"), "w")
        self.process = subprocess.Popen([os.path.join(bin_dir, "oru-host")] + args,
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        env=dict(os.environ, **{EVENT_LOOP: event_loop}))
        deadline = time.monotonic() + 30
        while not port_open(port):
            if self.process.poll() is not None:
                raise RuntimeError(f"oru-host ended with {self.process.returncode}; see {self.log.name}")
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"oru-host did not listen within 30 s; see {self.log.name}")
            time.sleep(0.05)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def pid(self):
        return self.process.pid

    def cpu_seconds(self):
        return cpu_seconds(self.pid)

    def thread_cpu_seconds(self):
        """CPU seconds by thread name: the plug-in's main thread and the simulator's."""
        seconds = {}
        for task in os.listdir(f"/proc/{self.pid}/task"):
            try:
                with open(f"/proc/{self.pid}/task/{task}/stat") as stat:
                    text = stat.read()
            except OSError:
                continue
            name = text[text.index("(") + 1:text.rindex(")")]
            fields = text.rsplit(")", 1)[1].split()
            used = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            seconds[name] = seconds.get(name, 0) + used
        return seconds

    def simulator_pid(self):
        """The oru-sim this host started (--sim-process), or None."""
        try:
            with open(f"/proc/{self.pid}/task/{self.pid}/children") as children:
                pids = children.read().split()
        except OSError:
            return None
        return int(pids[0]) if pids else None

    def rss_kib(self):
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class Relay:
    """The bare relay and echo controller of the baseline, on a free port."""

    def __init__(self, bin_dir):
        self.process = subprocess.Popen([os.path.join(bin_dir, "bench_relay")],
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("PORT "):
            self.stop()
            raise RuntimeError("bench_relay did not start")
        self.url = f"ws://127.0.0.1:{int(line.split()[1])}/relay"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait()


def roundtrip(bin_dir, out_dir, results, count, uploads):
    tool = os.path.join(bin_dir, "bench_roundtrip")
    with Relay(bin_dir) as relay, Host(bin_dir, out_dir, ["--simulate", "1"], "host-roundtrip"):
        print("command round trip, beside the bare relay ...", flush=True)
        single = run_json([tool, "--count", str(count), "--baseline-url", relay.url])
        print("command round trip, 8 clients ...", flush=True)
        multi = run_json([tool, "--mode", "concurrent", "--clients", "8", "--count", str(count)])
        relay_multi = run_json([tool, "--url", relay.url, "--aircraft", "SIM000000", "--mode",
                                "concurrent", "--clients", "8", "--count", str(count)])
        print("mission upload ...", flush=True)
        upload = run_json([tool, "--mode", "upload", "--count", str(uploads)])
    results["roundtrip_p50_us"] = round(single["p50_us"], 1)
    results["roundtrip_p99_us"] = round(single["p99_us"], 1)
    results["roundtrip_per_s"] = round(single["per_s"])
    results["roundtrip_8clients_per_s"] = round(multi["per_s"])
    results["baseline_relay_p50_us"] = round(single["baseline_p50_us"], 1)
    results["baseline_relay_p99_us"] = round(single["baseline_p99_us"], 1)
    results["baseline_relay_per_s"] = round(single["baseline_per_s"])
    results["baseline_relay_8clients_per_s"] = round(relay_multi["per_s"])
    results["roundtrip_ratio"] = round(single["p50_us"] / single["baseline_p50_us"], 2)
    results["roundtrip_failures"] = single["failures"] + multi["failures"] + upload["failures"]
    results["upload_50wp_ms"] = round(upload["upload_ms"], 2)
    results["upload_51_roundtrips_ms"] = round(upload["singles_ms"], 2)
    results["upload_ratio"] = round(upload["ratio"], 2)


class Neighbour:
    """A process that burns one core for as long as it lives, as a busy desktop would."""

    def __enter__(self):
        self.process = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()


def fleet_run(bin_dir, out_dir, size, warmup, seconds, event_loop, name):
    """One fleet of `size` aircraft measured by two push clients: their figures, plus
    the CPU of the host (whole process and by thread) and of its oru-sim process
    apart, and the host's resident memory."""
    tool = os.path.join(bin_dir, "bench_fleet")
    print(f"fleet of {size} aircraft, {name} ...", flush=True)
    # The simulator in a process of its own, so the host's figures are its own.
    with Host(bin_dir, out_dir, ["--simulate", str(size), "--sim-process"],
              f"host-{name}-{size}", event_loop=event_loop) as host:
        client = subprocess.Popen([tool, "--aircraft", str(size), "--warmup", str(warmup),
                                   "--seconds", str(seconds)],
                                  stdout=subprocess.PIPE, text=True)
        figures, start = None, None
        try:
            for line in client.stdout:
                if line.startswith("MEASURE_START"):
                    simulator = host.simulator_pid()
                    if simulator is None:
                        raise RuntimeError(f"no oru-sim beside the host; see {host.log.name}")
                    start = (host.cpu_seconds(), time.monotonic(), host.thread_cpu_seconds(),
                             cpu_seconds(client.pid), cpu_seconds(simulator))
                elif line.startswith("MEASURE_END") and start:
                    wall = time.monotonic() - start[1]
                    threads = host.thread_cpu_seconds()
                    host_cpu = (host.cpu_seconds() - start[0]) / wall
                    sim_cpu = (cpu_seconds(simulator) - start[4]) / wall

                    def thread(name):
                        return (threads.get(name, 0) - start[2].get(name, 0)) / wall

                    measured = dict(
                        cpu_cores=host_cpu + sim_cpu, host_cpu=host_cpu, sim_cpu=sim_cpu,
                        main_cpu=thread("oru-host"), link_cpu=thread("oru-simlink"),
                        client_cpu=(cpu_seconds(client.pid) - start[3]) / wall,
                        rss_kib=host.rss_kib())
                elif line.startswith("{"):
                    figures = json.loads(line)
        except BaseException:
            client.kill()
            client.wait()
            raise
        if client.wait(timeout=60) != 0 or figures is None or start is None:
            raise RuntimeError(f"bench_fleet failed at {size} aircraft ({name})")
    figures.update(measured)
    figures["delivered_share"] = (figures["flight_states_per_s"]
                                  / figures["flight_states_expected_per_s"])
    return figures


def healthy(row):
    """The whole fleet listed, its events keeping up to both push clients, no false
    loss, p99 under 100 ms."""
    return (row["listed"] == row["aircraft"] and row["false_disconnects"] == 0
            and row["push_clients_closed"] == 0 and row["delivered_share"] >= 0.95
            and 0 <= row["relay_p99_ms"] < 100)


def fleet(bin_dir, out_dir, results, sizes, qt_sizes, warmup, seconds):
    rows = {"epoll": [], "qt": []}
    for size in sizes:
        for event_loop, prefix in (("epoll", f"fleet_{size}_"), ("qt", f"fleet_qt_{size}_")):
            if event_loop == "qt" and size not in qt_sizes:
                continue
            row = fleet_run(bin_dir, out_dir, size, warmup, seconds, event_loop,
                            f"fleet-{event_loop}")
            rows[event_loop].append(row)
            results[prefix + "listed"] = row["listed"]
            results[prefix + "ready_s"] = round(row["ready_s"], 1)
            results[prefix + "relay_p50_ms"] = round(row["relay_p50_ms"], 2)
            results[prefix + "relay_p99_ms"] = round(row["relay_p99_ms"], 2)
            results[prefix + "events_per_s"] = round(row["events_per_s"])
            results[prefix + "flight_states_share"] = round(row["delivered_share"], 3)
            results[prefix + "false_disconnects"] = row["false_disconnects"]
            results[prefix + "push_clients_closed"] = row["push_clients_closed"]
            # cpu_cores: host and simulator together, as when they shared a process.
            results[prefix + "cpu_cores"] = round(row["cpu_cores"], 3)
            results[prefix + "host_cpu_cores"] = round(row["host_cpu"], 3)
            results[prefix + "sim_cpu_cores"] = round(row["sim_cpu"], 3)
            results[prefix + "cpu_main_thread_cores"] = round(row["main_cpu"], 3)
            results[prefix + "cpu_link_thread_cores"] = round(row["link_cpu"], 3)
            # The simulator's work, now all of it in its own process.
            results[prefix + "cpu_sim_thread_cores"] = round(row["sim_cpu"], 3)
            results[prefix + "cpu_push_clients_cores"] = round(row["client_cpu"], 3)
            results[prefix + "rss_kib"] = row["rss_kib"]
    # Memory per aircraft: the growth over the smallest fleet, so the host's
    # own footprint does not count.
    smallest = rows["epoll"][0]
    for row in rows["epoll"][1:]:
        grown = (row["rss_kib"] - smallest["rss_kib"]) / (row["aircraft"] - smallest["aircraft"])
        results[f"fleet_{row['aircraft']}_rss_kib_per_aircraft"] = round(grown, 1)
    for event_loop, key in (("epoll", "fleet_max_aircraft"), ("qt", "fleet_qt_max_aircraft")):
        fine = [row["aircraft"] for row in rows[event_loop] if healthy(row)]
        results[key] = max(fine) if fine else 0
    plot(rows, os.path.join(out_dir, "fleet.png"))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def mqtt_fleet(bin_dir, out_dir, results, stations, per_station, warmup, seconds):
    """Stations with a bridge each, one local Mosquitto, one subscriber of all telemetry."""
    total = stations * per_station
    print(f"MQTT fleet: {stations} station(s) x {per_station} aircraft ...", flush=True)
    broker_dir = os.path.join(out_dir, "mqtt")
    os.makedirs(broker_dir, exist_ok=True)
    port = free_port()
    config = os.path.join(broker_dir, "mosquitto.conf")
    with open(config, "w") as out:
        out.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    processes = []
    with contextlib.ExitStack() as stack:
        def spawn(command, name, piped=False):
            log = stack.enter_context(open(os.path.join(out_dir, f"{name}.log"), "w"))
            process = subprocess.Popen(command, stdout=subprocess.PIPE if piped else log,
                                       stderr=log if piped else subprocess.STDOUT, text=True)
            processes.append(process)
            stack.callback(lambda: (process.poll() is None and process.terminate(), process.wait()))
            return process

        spawn(["/usr/sbin/mosquitto", "-c", config], "mqtt-broker")
        bridges = []
        for index in range(stations):
            host_port = HOST_PORT + index
            stack.enter_context(Host(bin_dir, out_dir, ["--simulate", str(per_station)],
                                     f"host-mqtt-{index}", host_port))
            bridges.append(spawn([os.path.join(bin_dir, "oru-bridge"), "--station",
                                  f"station{index}", "--host", f"ws://127.0.0.1:{host_port}",
                                  "--broker", f"mqtt://127.0.0.1:{port}"], f"bridge-{index}"))
        client = spawn([os.path.join(bin_dir, "bench_mqtt"), "--port", str(port), "--aircraft",
                        str(total), "--warmup", str(warmup), "--seconds", str(seconds)],
                       "bench-mqtt", piped=True)
        figures, start, bridge_cores = None, None, None
        for line in client.stdout:
            if line.startswith("MEASURE_START"):
                start = (time.monotonic(), sum(cpu_seconds(b.pid) for b in bridges))
            elif line.startswith("MEASURE_END") and start:
                wall = time.monotonic() - start[0]
                bridge_cores = (sum(cpu_seconds(b.pid) for b in bridges) - start[1]) / wall
            elif line.startswith("{"):
                figures = json.loads(line)
        if client.wait(timeout=60) != 0 or figures is None or bridge_cores is None:
            raise RuntimeError("bench_mqtt failed")
    results["mqtt_stations"] = stations
    results[f"mqtt_{total}_relay_p50_ms"] = round(figures["relay_p50_ms"], 2)
    results[f"mqtt_{total}_relay_p99_ms"] = round(figures["relay_p99_ms"], 2)
    results[f"mqtt_{total}_delivered_share"] = round(figures["delivered_share"], 3)
    results["mqtt_bridge_cpu_cores_per_1000"] = round(bridge_cores / (total / 1000), 3)


def busy_fleet(bin_dir, out_dir, results, size, warmup, seconds):
    """The same fleet while a neighbour takes one of the cores, with each event loop."""
    for event_loop, prefix in (("epoll", f"fleet_{size}_busy_"), ("qt", f"fleet_qt_{size}_busy_")):
        with Neighbour():
            row = fleet_run(bin_dir, out_dir, size, warmup, seconds, event_loop,
                            f"busy-{event_loop}")
        results[prefix + "relay_p50_ms"] = round(row["relay_p50_ms"], 2)
        results[prefix + "relay_p99_ms"] = round(row["relay_p99_ms"], 2)
        results[prefix + "delivered_share"] = round(row["delivered_share"], 3)
        results[prefix + "false_disconnects"] = row["false_disconnects"]
        results[prefix + "cpu_cores"] = round(row["cpu_cores"], 3)


def plot(rows, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no plot", file=sys.stderr)
        return

    def latencies(series, key):
        # A fleet whose events never got through has no latency to draw.
        return [row[key] if row[key] >= 0 else float("nan") for row in series]

    figure, (latency, cores) = plt.subplots(1, 2, figsize=(11, 4.5))
    styles = {"epoll": ("tab:blue", "-"), "qt": ("tab:orange", "--")}
    names = {"epoll": "epoll loop", "qt": "Qt's loop"}
    for event_loop, series in rows.items():
        if not series:
            continue
        colour, line = styles[event_loop]
        sizes = [row["aircraft"] for row in series]
        latency.plot(sizes, latencies(series, "relay_p50_ms"), "o" + line, color=colour,
                     label=f"{names[event_loop]}: p50")
        latency.plot(sizes, latencies(series, "relay_p99_ms"), "s" + line, color=colour,
                     alpha=0.6, label=f"{names[event_loop]}: p99")
        cores.plot(sizes, [row["host_cpu"] for row in series], "^" + line, color=colour,
                   label=f"{names[event_loop]}: host alone (oru-sim apart)")
        cores.plot(sizes, [row["main_cpu"] for row in series], "v" + line, color=colour,
                   alpha=0.6, label=f"{names[event_loop]}: plug-in thread")
    for axes in (latency, cores):
        axes.set_xscale("log")
        axes.set_xlabel("simulated aircraft (FLIGHT_STATE at 10 Hz, 2 push clients)")
        axes.legend(fontsize=8, loc="upper left")
    latency.set_yscale("log")
    latency.set_ylabel("relay latency (ms)")
    latency.axhline(100, color="grey", linestyle=":", linewidth=1)
    cores.set_ylabel("CPU (cores)")
    cores.set_ylim(bottom=0)
    figure.suptitle(f"Fleet scale on {machine()}", fontsize=9)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def machine():
    model = platform.processor() or "unknown"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores"


def table(results):
    rows = [
        ("no-fly 1M: query p50 / p99 (us)", "nofly_1m_query_p50_us", "nofly_1m_query_p99_us"),
        ("no-fly 1M: along flight tracks p50 / p99 (us)", "nofly_1m_track_query_p50_us",
         "nofly_1m_track_query_p99_us"),
        ("no-fly 1M: search alone, no JSON, p50 / p99 (us)", "nofly_1m_search_p50_us",
         "nofly_1m_search_p99_us"),
        ("no-fly 1M: brute-force p50 (us), speedup", "nofly_1m_brute_p50_us", "nofly_1m_speedup"),
        ("no-fly 1M: band scan p50 (us)", "nofly_1m_band_scan_p50_us", None),
        ("no-fly 1M: load wall / CPU (s)", "nofly_1m_load_s", "nofly_1m_load_cpu_s"),
        ("no-fly 1M: poles + antimeridian p50 / p99 (us)", "nofly_1m_edge_query_p50_us",
         "nofly_1m_edge_query_p99_us"),
        ("no-fly 1M: poles + antimeridian band scan p50 (us)", "nofly_1m_edge_band_scan_p50_us",
         None),
        ("no-fly 1M: load peak (MiB)", "nofly_1m_load_peak_mib", None),
        ("no-fly 1M: steady (MiB), bytes per zone", "nofly_1m_steady_mib",
         "nofly_1m_steady_bytes_per_zone"),
        ("no-fly 1M: mismatches against brute force", "nofly_1m_mismatches", None),
        ("no-fly 100k: load simdjson / Qt (s)", "nofly_100k_load_s", "nofly_100k_qt_load_s"),
        ("no-fly 100k: peak simdjson / Qt (MiB)", "nofly_100k_load_peak_mib",
         "nofly_100k_qt_load_peak_mib"),
        ("no-fly 10k: query p50 (us), speedup", "nofly_10k_query_p50_us", "nofly_10k_speedup"),
        ("no-fly default: query p50 (us), speedup", "nofly_default_query_p50_us",
         "nofly_default_speedup"),
        ("codec 50 waypoints: both ways (us)", "codec_50wp_us", None),
        ("round trip p50 (us) / bare relay p50", "roundtrip_p50_us", "baseline_relay_p50_us"),
        ("round trip p99 (us) / ratio of p50s", "roundtrip_p99_us", "roundtrip_ratio"),
        ("round trips per s: 1 client / 8 clients", "roundtrip_per_s", "roundtrip_8clients_per_s"),
        ("bare relay per s: 1 client / 8 clients", "baseline_relay_per_s",
         "baseline_relay_8clients_per_s"),
        ("upload 50 waypoints (ms) / 51 round trips", "upload_50wp_ms", "upload_51_roundtrips_ms"),
        ("upload ratio", "upload_ratio", None),
    ]
    # Every fleet size measured, --fleet's own as well as the defaults.
    sizes = sorted({int(key.split("_")[1]) for key in results
                    if key.startswith("fleet_") and key.split("_")[1].isdigit()
                    and key.endswith("_relay_p50_ms")})
    for size in sizes:
        rows += [
            (f"fleet {size}: relay p50 / p99 (ms)", f"fleet_{size}_relay_p50_ms",
             f"fleet_{size}_relay_p99_ms"),
            (f"fleet {size}, Qt's loop: relay p50 / p99 (ms)", f"fleet_qt_{size}_relay_p50_ms",
             f"fleet_qt_{size}_relay_p99_ms"),
            (f"fleet {size}, Qt's loop: CPU (cores), share", f"fleet_qt_{size}_cpu_cores",
             f"fleet_qt_{size}_flight_states_share"),
            (f"fleet {size}: events/s, FLIGHT_STATE share", f"fleet_{size}_events_per_s",
             f"fleet_{size}_flight_states_share"),
            (f"fleet {size}: host + oru-sim CPU, false losses", f"fleet_{size}_cpu_cores",
             f"fleet_{size}_false_disconnects"),
            (f"fleet {size}: CPU of host alone / oru-sim", f"fleet_{size}_host_cpu_cores",
             f"fleet_{size}_sim_cpu_cores"),
            (f"fleet {size}: CPU of plug-in / link thread", f"fleet_{size}_cpu_main_thread_cores",
             f"fleet_{size}_cpu_link_thread_cores"),
            (f"fleet {size}: CPU of the two push clients", f"fleet_{size}_cpu_push_clients_cores",
             None),
            (f"fleet {size}: RSS (KiB), per aircraft", f"fleet_{size}_rss_kib",
             f"fleet_{size}_rss_kib_per_aircraft"),
        ]
    rows += [
        ("busy neighbour 1000: p99 (ms), share", "fleet_1000_busy_relay_p99_ms",
         "fleet_1000_busy_delivered_share"),
        ("busy, Qt's loop 1000: p99 (ms), share", "fleet_qt_1000_busy_relay_p99_ms",
         "fleet_qt_1000_busy_delivered_share"),
        ("fleet: largest healthy size / Qt's loop", "fleet_max_aircraft", "fleet_qt_max_aircraft"),
    ]
    for key in sorted(k for k in results if k.startswith("mqtt_") and k.endswith("_relay_p99_ms")):
        size = key.split("_")[1]
        rows += [
            (f"MQTT {size}: relay p50 / p99 (ms)", f"mqtt_{size}_relay_p50_ms", key),
            (f"MQTT {size}: delivered share, stations", f"mqtt_{size}_delivered_share",
             "mqtt_stations"),
            (f"fleet {size} on one host: relay p99 (ms)", f"fleet_{size}_relay_p99_ms", None),
            ("MQTT bridge CPU (cores per 1000 aircraft)", "mqtt_bridge_cpu_cores_per_1000", None),
        ]
    print()
    print(f"{'figure':46} {'value':>12} {'beside':>12}")
    for label, first, second in rows:
        a = results.get(first, "-")
        b = results.get(second, "") if second else ""
        print(f"{label:46} {a!s:>12} {b!s:>12}")
    print(f"\nmachine: {machine()}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--anchors", required=True)
    parser.add_argument("--only", choices=["all", "offline", "host", "fleet", "mqtt"],
                        default="all", help="offline: zones and codec; host: the benchmarks "
                        "that run oru-host; fleet: the fleet alone; mqtt: stations through a "
                        "local Mosquitto")
    parser.add_argument("--roundtrips", type=int, default=20000)
    parser.add_argument("--uploads", type=int, default=20)
    parser.add_argument("--fleet", default=",".join(map(str, FLEETS)),
                        help="comma-separated fleet sizes")
    parser.add_argument("--qt-fleet", default=",".join(map(str, QT_FLEETS)),
                        help="fleet sizes measured with Qt's own event loop too")
    parser.add_argument("--busy-fleet", type=int, default=1000,
                        help="fleet measured beside a process that burns a core; 0: none")
    parser.add_argument("--fleet-seconds", type=int, default=10)
    parser.add_argument("--fleet-warmup", type=int, default=5)
    parser.add_argument("--mqtt-stations", type=int, default=4)
    parser.add_argument("--mqtt-per-station", type=int, default=500)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    # Ends the run through the finally clauses, which stop our own processes.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    # Others' work on the machine skews the fleet figures most; keep it beside them.
    results = {"machine_load_1min_at_start": round(os.getloadavg()[0], 2)}
    if args.only in ("all", "offline"):
        nofly(args.bin, args.out, args.anchors, results)
        codec(args.bin, results)
    if args.only in ("all", "host"):
        roundtrip(args.bin, args.out, results, args.roundtrips, args.uploads)
    if args.only in ("all", "host", "fleet"):
        fleet(args.bin, args.out, results, [int(n) for n in args.fleet.split(",")],
              [int(n) for n in args.qt_fleet.split(",") if n], args.fleet_warmup,
              args.fleet_seconds)
        if args.busy_fleet:
            busy_fleet(args.bin, args.out, results, args.busy_fleet, args.fleet_warmup,
                       args.fleet_seconds)
    if args.only in ("all", "host", "mqtt"):
        mqtt_fleet(args.bin, args.out, results, args.mqtt_stations, args.mqtt_per_station, 120,
                   args.fleet_seconds)

    with open(os.path.join(args.out, "results.json"), "w") as out:
        json.dump(results, out, indent=1, sort_keys=True)
    table(results)
    mismatches = sum(v for k, v in results.items() if k.endswith("_mismatches"))
    return 1 if mismatches or results.get("roundtrip_failures") else 0


if __name__ == "__main__":
    sys.exit(main())
