# Entry points for people and CI. Every target installs what it is missing.
BUILD_DIR   ?= build
ASAN_DIR    ?= build-asan
BENCH_DIR   ?= build/bench-build
BENCH_OUT   ?= build/bench
JOBS        ?= $(shell nproc)
SIM_COUNT   ?= 2
FUZZ_SECONDS ?= 60
FUZZ_DIR    ?= build-fuzz
SOAK_MINUTES ?= 10
FLEET_COUNT ?= 2
# The system's Python, which has the python3-matplotlib installed below for the plot.
BENCH_PYTHON ?= $(shell [ -x /usr/bin/python3 ] && echo /usr/bin/python3 || echo python3)

DEB_PACKAGES := cmake ninja-build g++ qtbase5-dev libqt5websockets5-dev qtbase5-dev-tools \
                libgtest-dev libbenchmark-dev libsimdjson-dev chromium \
                clang libclang-rt-14-dev iproute2 python3-matplotlib clang-format clang-tidy \
                mosquitto libmosquitto-dev pkg-config dpkg-dev \
                libqt5sql5-sqlite sqlite3
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps deps-deb deps-npm configure build run run-fleet package test test-asan bench fuzz soak lint format clean

all: build

deps: deps-deb deps-npm

# apt-get update runs once, and only when something is missing.
deps-deb:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	command -v node >/dev/null && command -v npm >/dev/null || missing="$$missing nodejs npm"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi

deps-npm: deps-deb
	@if [ -f package.json ] && { [ ! -d node_modules ] || [ package.json -nt node_modules ]; }; then \
	  npm install --no-audit --no-fund && touch node_modules; \
	fi

configure: deps
	@[ -f $(BUILD_DIR)/build.ninja ] || cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/oru-host --simulate $(SIM_COUNT)

# A local Mosquitto (MQTT on 1883, MQTT over WebSocket on 9001), two stations
# of FLEET_COUNT simulated aircraft (ports 19870 and 19871) and a bridge for
# each, as station1 and station2; Ctrl-C stops them all.
run-fleet: build
	tools/run-fleet.sh $(BUILD_DIR)/bin $(FLEET_COUNT)

# The Debian packages, oru-groundstation and oru-groundstation-dev, in $(BUILD_DIR).
package: build
	cd $(BUILD_DIR) && cpack

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer. Suppressions cover Qt's own findings only (tests/asan/).
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=0:fast_unwind_on_malloc=0 \
                 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/asan/lsan.supp:print_suppressions=0 \
                 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=$(CURDIR)/tests/asan/ubsan.supp

test-asan: deps
	@[ -f $(ASAN_DIR)/build.ninja ] || cmake -S . -B $(ASAN_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORU_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# Each libFuzzer target for FUZZ_SECONDS, from the committed seeds; new
# inputs go to $(FUZZ_DIR)/corpus, crashes to $(FUZZ_DIR)/artifacts. Where a
# network namespace can be had, the fuzzers run without any network at all.
FUZZ_TARGETS := webrequest controllermessage generalmessage missioncodec zonefile waylinefile
NO_NETWORK := $(shell unshare -rn true >/dev/null 2>&1 && echo unshare -rn || \
                      (unshare -n true >/dev/null 2>&1 && echo unshare -n))

fuzz: deps
	@[ -f $(FUZZ_DIR)/build.ninja ] || cmake -S . -B $(FUZZ_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DORU_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/artifacts/$$t || exit 1; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  log=$(FUZZ_DIR)/fuzz_$$t.log; \
	  if $(NO_NETWORK) env UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	      ASAN_OPTIONS=fast_unwind_on_malloc=0 \
	      LSAN_OPTIONS=suppressions=$(CURDIR)/tests/asan/lsan.supp \
	      $(FUZZ_DIR)/bin/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=20 \
	      -rss_limit_mb=3072 -print_final_stats=1 -dict=tests/fuzz/dict/$$t.dict \
	      -artifact_prefix=$(FUZZ_DIR)/artifacts/$$t/ \
	      $(FUZZ_DIR)/corpus/$$t tests/fuzz/corpus/$$t >$$log 2>&1; then \
	    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss)' $$log; \
	  else \
	    tail -n 60 $$log; echo "fuzz_$$t found a fault; the input is in $(FUZZ_DIR)/artifacts/$$t"; \
	    exit 1; \
	  fi; \
	done

# 100 simulated aircraft, 10 web clients, SOAK_MINUTES minutes; prints the
# host's resident memory and replies against requests as it goes.
soak: build
	$(BUILD_DIR)/bin/oru-soak --host $(BUILD_DIR)/bin/oru-host --minutes $(SOAK_MINUTES)

# Release build in its own folder; figures and results.json land in $(BENCH_OUT).
bench: deps-deb
	@[ -f $(BENCH_DIR)/build.ninja ] || cmake -S . -B $(BENCH_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DORU_BUILD_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target bench_nofly bench_codec bench_roundtrip \
	  bench_fleet bench_relay bench_mqtt oru-host oru-sim oru-bridge
	$(BENCH_PYTHON) bench/run_bench.py --bin $(BENCH_DIR)/bin --out $(BENCH_OUT) --anchors data/limit.txt

# ESLint and Prettier on the web client, its tests and tools; clang-format and
# clang-tidy on the C++. clang-tidy reads the build's compile commands and the
# moc files the build generates, and checks only the sources in git.
JS_LINT := web 'tests/**/*.mjs' 'tools/*.mjs' eslint.config.mjs

lint: build
	npx --no-install eslint --max-warnings 0 .
	npx --no-install prettier --check $(JS_LINT)
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	@db=$(BUILD_DIR)/compile_commands.json; \
	git ls-files '*.cpp' | while read -r f; do \
	  grep -q "\"file\": \"$(CURDIR)/$$f\"" $$db && echo "$$f"; \
	done | xargs -r -P $(JOBS) -n 2 clang-tidy -p $(BUILD_DIR) --quiet 2>$(BUILD_DIR)/clang-tidy.log \
	  || { grep -v -E 'warnings? (generated|treated as errors)' $(BUILD_DIR)/clang-tidy.log; exit 1; }

format: deps-npm
	git ls-files '*.cpp' '*.h' | xargs clang-format -i
	npx --no-install prettier --write $(JS_LINT)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR)
