# Thin front over the CMake presets.
#   make        build everything into dist/
#   make demo   install what is missing, build what the demo runs, run the main job under Wine
#   make tools  only what a user packs with: launcher, build tool, adapter (make install adds the CMake package)
#   make test   install what is missing, build, run every test (one summary)
#   make product PRODUCT_NAME='My App' PRODUCT_VERSION=2.1.0
#               the launcher for another product, in build/products/ and dist/products/
#   make bench  build, then measure under Wine against the floors (bench/run_bench.py)
#   make release  build, then write the download archives and SHA256SUMS to dist/release/
BUILD := build
DEPS := $(BUILD)/deps
WINE_PREFIX := $(abspath $(BUILD)/windows/wine-prefix)
WINE64 := $(firstword $(wildcard /usr/lib/wine/wine64) $(shell command -v wine64 2>/dev/null) wine)
WINE_RUN := scripts/wine-run.sh $(WINE_PREFIX) $(WINE64)
JOBS ?= $(shell nproc)
export PRODUCT_NAME PRODUCT_VERSION

.PHONY: all deps windows host demo test product clean

all: windows host

deps:
	@bash scripts/install-deps.sh $(DEPS)

windows: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS)

host: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host -j $(JOBS)

# What a user packs with, and nothing else: the launcher, the build tool (host
# and Windows) and the adapter; `make install` adds the CMake package.
.PHONY: tools
tools: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS) --target launcher vorbel-pack vorbel_adapter
	@cmake --preset host >/dev/null
	@cmake --build --preset host -j $(JOBS) --target vorbel-pack

# The demo builds what it runs, no test program: the launcher, the sample
# application and the host's build tool; and the adapter, which takes seconds.
demo: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS) --target launcher sample_app sample_helper vorbel_adapter
	@cmake --preset host >/dev/null
	@cmake --build --preset host -j $(JOBS) --target vorbel-pack
	@bash scripts/demo.sh $(WINE_PREFIX) $(WINE64)

test: all
	@ctest --preset all

product: deps
	@bash scripts/build-product.sh

# Not part of `make test`: it times, and takes minutes.
.PHONY: bench
bench: all
	@VORBEL_BENCH_DEPS=1 bash scripts/install-deps.sh
	@python3 bench/run_bench.py $(BENCH_ARGS)

# Console events under load (bench/stress_console.py): minutes to an hour,
# not part of `make test`. STRESS_ARGS="--events 100" for a shorter run.
.PHONY: stress
stress: all
	@python3 bench/stress_console.py $(STRESS_ARGS)

clean:
	rm -rf $(BUILD) dist

# The test run also builds the host tests with sanitizers and the fuzz targets
# (clang); both trees' tests join the one summary.
.PHONY: sanitize fuzz
test: sanitize fuzz

sanitize: deps
	@cmake --preset host-sanitize >/dev/null
	@cmake --build --preset host-sanitize -j $(JOBS)

fuzz: deps
	@cmake -S fuzz -B $(BUILD)/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(BUILD)/fuzz -j $(JOBS)

# Installs the build tool (host and Windows), the launcher, the adapter and the
# CMake package under PREFIX (find_package(vorbel); see the README).
PREFIX ?= /usr/local
.PHONY: install
install: tools
	@cmake --install $(BUILD)/host --prefix "$(PREFIX)" --strip
	@cmake --install $(BUILD)/windows --prefix "$(PREFIX)"

# Reproducible archives for Linux and Windows hosts (scripts/make-release.py;
# SOURCE_DATE_EPOCH dates the entries, default the last commit's time).
.PHONY: release
release: all
	@python3 scripts/make-release.py --out dist/release
