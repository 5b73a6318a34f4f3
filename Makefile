# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
PYTHON := /usr/bin/python3

.PHONY: deps build test demo venv

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

# The demo installs the package into .venv (a real `kestrelite` command, built
# offline from this tree), points kestrelite at the local headless shell, and
# captures examples/demo on every App Store size into $(DEMO_OUT).
VENV := .venv
DEMO_OUT ?= demo-shots

venv: deps
	test -x $(VENV)/bin/python || $(PYTHON) -m venv --system-site-packages $(VENV)
	$(VENV)/bin/pip install --quiet --no-build-isolation --no-deps --no-index .

demo: venv
	$(VENV)/bin/kestrelite install-browser
	$(VENV)/bin/kestrelite capture examples/demo --store apple --out $(DEMO_OUT) --jobs 2
