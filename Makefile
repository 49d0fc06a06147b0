# Entry points: `make` (stub, finisher, both CLIs and the NSIS header into dist/), `make release`,
# `make installer`, `make test`,
# `make demo`, `make fuzz`, `make bench`, `make sweep`. Each installs missing tools first.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

HOST := $(BUILD)/host
TEST := $(BUILD)/test
STUB := $(BUILD)/win32
WINCLI := $(BUILD)/wincli
FUZZ := $(BUILD)/fuzz

.PHONY: all bootstrap stub host wincli release installer testbuild fuzzbuild test demo fuzz bench sweep clean

all: bootstrap stub host wincli

bootstrap:
	@scripts/bootstrap

stub: bootstrap
	@cmake -S . -B $(STUB) -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-mingw.cmake >/dev/null
	@cmake --build $(STUB) -j $(JOBS)
	@mkdir -p dist && cp $(STUB)/app/sweepkit-stub.exe $(STUB)/finisher/sweepkit-finish.exe dist/

host: bootstrap
	@cmake -S . -B $(HOST) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(HOST) -j $(JOBS) --target sweepkit
	@mkdir -p dist && cp $(HOST)/cli/sweepkit dist/sweepkit
	@cp nsis/Sweepkit.nsh dist/

# sweepkit.exe: the host program for makensis on Windows
wincli: bootstrap
	@cmake -S . -B $(WINCLI) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-mingw.cmake -DSWEEPKIT_WINDOWS_CLI=ON >/dev/null
	@cmake --build $(WINCLI) -j $(JOBS) --target sweepkit
	@mkdir -p dist && cp $(WINCLI)/cli/sweepkit.exe dist/

# dist/sweepkit-VERSION-windows.zip and -linux.tar.gz (VERSION: CMakeLists.txt)
release: all
	@scripts/release

# the example's NSIS installer with its uninstaller template, into dist/
installer: all
	@scripts/installer

fuzzbuild: bootstrap
	@cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSWEEPKIT_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ) -j $(JOBS)

testbuild: installer release fuzzbuild
	@cmake -S . -B $(TEST) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSWEEPKIT_SANITIZE=ON \
	  -DSWEEPKIT_DIST=$(CURDIR)/dist -DSWEEPKIT_WIN32_BUILD=$(CURDIR)/$(STUB) \
	  -DSWEEPKIT_FUZZ_DIR=$(CURDIR)/$(FUZZ)/tests/fuzz -DSWEEPKIT_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	@cmake --build $(TEST) -j $(JOBS)

test: testbuild
	@cd $(TEST) && ctest --output-on-failure -j 2

demo: installer
	@scripts/demo

# Every fuzz target in turn, FUZZ_SECONDS each.
fuzz: fuzzbuild
	@scripts/fuzz $(FUZZ_SECONDS) $(FUZZ)/tests/fuzz/fuzz_*

bench: all
	@scripts/bench $(BENCH_ARGS)

# Every platform call and allocation of a whole uninstall failed in turn, once
# and from then on (the test run takes every 7th); prints the fault points and
# runs of each application.
sweep: bootstrap
	@cmake -S . -B $(TEST) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSWEEPKIT_SANITIZE=ON >/dev/null
	@cmake --build $(TEST) -j $(JOBS) --target host_tests
	@SWEEPKIT_SWEEP=full $(TEST)/tests/host_tests --gtest_filter='FaultSweep.*'

clean:
	rm -rf $(BUILD) dist
