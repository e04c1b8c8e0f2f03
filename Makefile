# The two entry points of the README, plus the pieces they are made of.
# Everything real happens in CMake (CMakePresets.json) and scripts/.

PRESETS := host asan ppc
JOBS ?= $(shell nproc)
BOARD ?= build/demo-board

.PHONY: all deps demo test build-% test-% fuzz bench clean

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
	@echo "== booting it; try also: boardsim env $(BOARD) set shell=on, or nvram $(BOARD) set 100 2"
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
