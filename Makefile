# The two entry points of the README, plus the pieces they are made of.
# Everything real happens in CMake (CMakePresets.json) and scripts/.

PRESETS := host asan ppc
JOBS ?= $(shell nproc)
BOARD ?= build/demo-board

.PHONY: all deps demo demo-again test build-% test-% fuzz fuzz-smoke bench clean

all: build-host

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
	@echo "== booting it (then try: build/host/bin/boardsim env $(BOARD) set shell=on; make demo-again)"
	build/host/bin/boardsim boot $(BOARD)

# Boot the demo board again, keeping what was changed on it.
demo-again: build-host
	build/host/bin/boardsim boot $(BOARD)

# Every test of every preset, then a short run of each fuzz target.
test: $(addprefix test-,$(PRESETS)) fuzz-smoke

fuzz-smoke: deps
	scripts/fuzz --smoke

fuzz: deps
	scripts/fuzz

bench: build-host
	scripts/bench

clean:
	rm -rf build
