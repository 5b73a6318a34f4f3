# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
PYTHON := /usr/bin/python3

.PHONY: deps build test demo

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) -c 'import json, kestrelite; [print(d["id"], d["output_width"], "x", d["output_height"]) for d in json.loads(kestrelite.devices_json())]'
