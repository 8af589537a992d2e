#!/usr/bin/env python3
"""Runs the benchmarks, prints a table and writes results.json (flat, numbers only).

Every figure stands beside a baseline measured in the same run, so the ratio
holds on a busy machine even when the absolute figures do not.
"""
import argparse
import json
import os
import platform
import subprocess
import sys

SIZES = [("10k", 10_000), ("100k", 100_000), ("1m", 1_000_000)]


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
        results[prefix + "query_p50_us"] = round(query["query_p50_us"], 2)
        results[prefix + "query_p99_us"] = round(query["query_p99_us"], 2)
        results[prefix + "results_mean"] = round(query["mean_found"], 1)
        results[prefix + "brute_p50_us"] = round(query["brute_p50_us"], 1)
        results[prefix + "band_scan_p50_us"] = round(query["band_p50_us"], 1)
        results[prefix + "speedup"] = round(query["speedup"], 1)
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
        ("no-fly 1M: brute-force p50 (us), speedup", "nofly_1m_brute_p50_us", "nofly_1m_speedup"),
        ("no-fly 1M: band scan p50 (us)", "nofly_1m_band_scan_p50_us", None),
        ("no-fly 1M: load wall / CPU (s)", "nofly_1m_load_s", "nofly_1m_load_cpu_s"),
        ("no-fly 1M: load peak (MiB)", "nofly_1m_load_peak_mib", None),
        ("no-fly 100k: load simdjson / Qt (s)", "nofly_100k_load_s", "nofly_100k_qt_load_s"),
        ("no-fly 100k: peak simdjson / Qt (MiB)", "nofly_100k_load_peak_mib",
         "nofly_100k_qt_load_peak_mib"),
        ("no-fly 10k: query p50 (us), speedup", "nofly_10k_query_p50_us", "nofly_10k_speedup"),
        ("no-fly default: query p50 (us), speedup", "nofly_default_query_p50_us",
         "nofly_default_speedup"),
        ("codec 50 waypoints: both ways (us)", "codec_50wp_us", None),
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
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    results = {}
    nofly(args.bin, args.out, args.anchors, results)
    codec(args.bin, results)

    with open(os.path.join(args.out, "results.json"), "w") as out:
        json.dump(results, out, indent=1, sort_keys=True)
    table(results)
    mismatches = sum(v for k, v in results.items() if k.endswith("_mismatches"))
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
