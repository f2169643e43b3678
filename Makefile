# The commands a newcomer uses: run, test, asan, demo, bench, package.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build run test asan bench demo package clean

all: build

setup:
	@scripts/setup

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/veskor

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

asan: setup
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVESKOR_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

bench: build
	@if [ -x tests/bench/run ]; then tests/bench/run $(BUILD); else echo "no benchmarks yet"; fi

demo: build
	@if [ -x scripts/demo ]; then scripts/demo $(BUILD); else $(BUILD)/bin/veskor; fi

# Two packages, veskorctl (no desktop) and veskor (the window tool), each
# checked by lintian: an error there fails the target.
package: build
	@scripts/setup package
	cmake --build $(BUILD) --target package_docs
	rm -f $(BUILD)/veskor_*.deb $(BUILD)/veskorctl_*.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/veskorctl_*.deb $(BUILD)/veskor_*.deb
	@echo "Packages:"
	@ls -1 $(BUILD)/veskorctl_*.deb $(BUILD)/veskor_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
