# The two entry points of the README, plus the pieces they are made of.
# Everything real happens in CMake (CMakePresets.json) and scripts/.

JOBS ?= $(shell nproc)
BOARD ?= build/demo-board

.PHONY: coverage help all deps demo demo-again test build-% test-% analyse fuzz fuzz-smoke fuzz-campaign bench clean package \
	e500-prereq e500-demo e500-test e500-bench

all: build-host

help:
	@echo "make demo          install dependencies, build, boot a fresh demo board here (Ctrl-] leaves)"
	@echo "make demo-again    boot the demo board again with what was changed on it"
	@echo "make test          every test: host, asan and ppc builds, the analysers, fuzz smoke runs, the e500 system"
	@echo "make test-PRESET   build and test one preset: host, asan or ppc (CTEST_ARGS='-R NAME' for one test)"
	@echo "make build-PRESET  build one preset (binaries in build/PRESET/bin)"
	@echo "make analyse       clang-tidy and cppcheck over bootmgr, crypto and the tools; fails on any finding"
	@echo "make fuzz          the fuzz targets for 10 minutes each (scripts/fuzz TARGET... for some)"
	@echo "make fuzz-smoke    every fuzz target for 15 seconds, as make test does"
	@echo "make fuzz-campaign every fuzz target for 10 million runs or 30 minutes, then its"
	@echo "                   corpus minimised into tests/fuzz/corpus and a table of the results"
	@echo "make bench         benchmarks against zlib, OpenSSL and mbedTLS in the same run"
	@echo "make coverage      line coverage of the unit, board and scenario suites, per folder and as HTML"
	@echo "make e500-demo     the demo board on the emulated e500 PowerPC system (Ctrl-A x leaves)"
	@echo "make e500-test     the scenarios on the emulated e500 system"
	@echo "make e500-bench    boot time and CRC/SHA-256 speed inside the emulated e500 system"
	@echo "make package       the Debian package of the host tools (imagetool, boardsim, their man pages)"
	@echo "make deps          install the Debian packages the build and the tests need"
	@echo "make clean         remove build/ (the e500 kernel cache in ~/.cache stays)"

deps:
	@scripts/install-deps

build-%: deps
	@test -f build/$*/build.ninja || cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

test-%: build-%
	ctest --preset $* -j $(JOBS) $(CTEST_ARGS)

# Boot a fresh demo board with its console on this terminal.
demo: build-host
	build/host/bin/boardsim new $(BOARD) --demo --force
	build/host/bin/boardsim env $(BOARD) set gdb=off shell=off
	@echo "== boot-loader environment of the demo board:"; build/host/bin/boardsim env $(BOARD) show
	@echo "== booting it; dimmed [trace] lines are the board's events, the rest is the switch's console"
	@echo "== (then try: build/host/bin/boardsim env $(BOARD) set shell=on; make demo-again;"
	@echo "==  build/host/bin/boardsim status $(BOARD) shows what the board holds)"
	build/host/bin/boardsim boot $(BOARD) --trace

# Boot the demo board again, keeping what was changed on it.
demo-again: build-host
	build/host/bin/boardsim boot $(BOARD) --trace

# Every test of every preset, the analysers, a short run of each fuzz target,
# then the scenarios on the emulated e500 system (scripts/test-all: a summary
# line per stage and a verdict at the end).
test: deps
	@scripts/test-all

# clang-tidy (.clang-tidy) and cppcheck over the host build's sources.
analyse: deps
	scripts/analyse

fuzz-smoke: deps
	scripts/fuzz --smoke

fuzz: deps
	scripts/fuzz

# The Debian package of the host tools, build/host/bootmgr-host-tools_VERSION_ARCH.deb
# (cmake/Packaging.cmake; "cmake --install build/host --prefix DIR" installs the same files).
package: build-host
	cd build/host && cpack -G DEB
	@ls build/host/*.deb

fuzz-campaign: deps
	scripts/fuzz --campaign

coverage: deps
	scripts/coverage

bench: build-host
	scripts/bench

# The emulated e500 system (tools/e500): the cross-built bootmgr on QEMU's
# ppce500 with a real Linux kernel. The kernel and busybox are built once and
# cached outside the tree (~/.cache/bootmgr-e500); only the targets the
# system needs are built here.
E500_BOARD ?= build/e500-board
E500_ENV = E500=$(CURDIR)/tools/e500/e500 E500_BOOTMGR=$(CURDIR)/build/ppc/bin/bootmgr \
	BOARDSIM=$(CURDIR)/build/host/bin/boardsim IMAGETOOL=$(CURDIR)/build/host/bin/imagetool \
	DEMO_DIR=$(CURDIR)/build/host/demo

e500-prereq:
	@scripts/install-deps e500
	@test -f build/host/build.ninja || cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS) --target boardsim imagetool demo_images
	@test -f build/ppc/build.ninja || cmake --preset ppc >/dev/null
	cmake --build --preset ppc -j $(JOBS) --target bootmgr
	E500_JOBS=$(JOBS) tools/e500/e500 build

# Boot a fresh demo board on the emulated e500 (Ctrl-A x stops it).
e500-demo: e500-prereq
	build/host/bin/boardsim new $(E500_BOARD) --demo --force
	build/host/bin/boardsim env $(E500_BOARD) set gdb=off shell=off
	tools/e500/e500 boot $(E500_BOARD)

# The scenario suite on the emulated e500 (tests/e500).
e500-test: e500-prereq
	$(E500_ENV) /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e500 \
		--basetemp=$(CURDIR)/build/e500-tmp $(PYTEST_ARGS)

# Boot time on the emulated e500 and our CRC-32 and SHA-256 against mbedTLS's inside it.
e500-bench: e500-prereq
	$(E500_ENV) tools/e500/bench

clean:
	rm -rf build
