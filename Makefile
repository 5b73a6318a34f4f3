# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
PYTHON := /usr/bin/python3

ASAN_BUILD ?= build-asan
FUZZ_SECONDS ?= 30

.PHONY: deps build test check sanitize fuzz demo venv

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)

# Everything CI runs: the tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and every fuzz target for $(FUZZ_SECONDS) s.
test: check sanitize fuzz

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DKESTRELITE_SANITIZE=ON
	cmake --build $(ASAN_BUILD)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2

fuzz: deps
	tests/fuzz/run-all $(FUZZ_SECONDS)

# The demo installs the package into .venv (a real `kestrelite` command, built
# offline from this tree), points kestrelite at the local headless shell,
# captures examples/demo on every App Store size into $(DEMO_OUT), then runs
# the demo's store set (examples/demo/kestrelite.toml: two screens, two
# languages, both stores) into $(DEMO_SET_OUT) in the upload tools' layout.
VENV := .venv
DEMO_OUT ?= demo-shots
DEMO_SET_OUT ?= demo-set

venv: deps
	test -x $(VENV)/bin/python || $(PYTHON) -m venv --system-site-packages $(VENV)
	$(VENV)/bin/pip install --quiet --no-build-isolation --no-deps --no-index .

demo: venv
	$(VENV)/bin/kestrelite install-browser
	$(VENV)/bin/kestrelite capture examples/demo --store apple --out $(DEMO_OUT) --jobs 2
	$(VENV)/bin/kestrelite run examples/demo/kestrelite.toml --out $(DEMO_SET_OUT) --jobs 2

# `make bench`: the micro benchmarks, then kestrelite against a Puppeteer
# script on six devices, a batch of 18 captures through a session against
# Puppeteer with one browser, the command line with --jobs 1 and 2, a store
# set in sessions and with --fresh-browser, and the scaling check (README,
# Benchmarks). BENCH_ROUNDS sets the number of end-to-end rounds. Node and npm come from the system, installed from
# Debian when missing.
BENCH_BUILD := build-bench
BENCH_ROUNDS ?= 5
BENCH_SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: bench
bench: deps
	command -v npm >/dev/null 2>&1 || { $(BENCH_SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(BENCH_SUDO) apt-get install -y -q --no-install-recommends nodejs npm; }
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DKESTRELITE_BENCH=ON -DKESTRELITE_TESTS=OFF
	cmake --build $(BENCH_BUILD)
	cd bench/peers && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
	PYTHONPATH=$(BENCH_BUILD)/python $(PYTHON) bench/e2e.py --rounds $(BENCH_ROUNDS) \
	  --micro $(BENCH_BUILD)/bench/kestrelite_bench
