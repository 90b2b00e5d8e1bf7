# Thin front over the CMake presets.
#   make        build everything into dist/
#   make demo   install what is missing, build, run the main job under Wine
#   make test   install what is missing, build, run every test (one summary)
#   make bench  build, then measure under Wine against the floors (bench/run_bench.py)
BUILD := build
DEPS := $(BUILD)/deps
WINE_PREFIX := $(abspath $(BUILD)/windows/wine-prefix)
WINE64 := $(firstword $(wildcard /usr/lib/wine/wine64) $(shell command -v wine64 2>/dev/null) wine)
WINE_RUN := scripts/wine-run.sh $(WINE_PREFIX) $(WINE64)
JOBS ?= $(shell nproc)

.PHONY: all deps windows host demo test clean

all: windows host

deps:
	@bash scripts/install-deps.sh $(DEPS)

windows: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS)

host: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host -j $(JOBS)

demo: all
	@bash scripts/demo.sh $(WINE_PREFIX) $(WINE64)

test: all
	@ctest --preset all

# Not part of `make test`: it times, and takes minutes.
.PHONY: bench
bench: all
	@VORBEL_BENCH_DEPS=1 bash scripts/install-deps.sh
	@python3 bench/run_bench.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) dist
