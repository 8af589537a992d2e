# Entry points for people and CI. Every target installs what it is missing.
BUILD_DIR   ?= build
ASAN_DIR    ?= build-asan
BENCH_DIR   ?= build/bench-build
JOBS        ?= $(shell nproc)
SIM_COUNT   ?= 2
FUZZ_SECONDS ?= 60

DEB_PACKAGES := cmake ninja-build g++ qtbase5-dev libqt5websockets5-dev qtbase5-dev-tools \
                libgtest-dev libbenchmark-dev libsimdjson-dev chromium \
                clang libclang-rt-14-dev iproute2 python3-matplotlib
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps deps-deb deps-npm configure build run test test-asan bench fuzz soak format clean

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

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
