# Front door. `make run` builds and runs the main job; `make test` builds and passes all tests.
JOBS        ?= 2
BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_FUZZ  ?= build-fuzz
BUILD_TSAN  ?= build-tsan
BUILD_WIN   ?= build-win
FUZZ_SECONDS ?= 20
CMAKE_GEN   := -G Ninja

.PHONY: all deps deps-build deps-test deps-package deps-bench deps-fuzz deps-screenshots deps-windows build \
	windows test-windows \
	build-asan test test-release test-asan test-package test-tsan run bench bench-summary test-lines fuzz \
	xgettext screenshots package clean

all: build

# Each target installs only the Debian packages it needs (scripts/install-deps.sh has the groups).
deps: deps-build
deps-build deps-test deps-package deps-bench deps-fuzz deps-screenshots deps-windows:
	@bash scripts/install-deps.sh $(patsubst deps-%,%,$@)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQV_INFLATE=auto

build: deps-build $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

# Debug build with ASan/UBSan on the zlib engine, so CI covers both inflate engines.
$(BUILD_ASAN)/build.ninja:
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_INFLATE=zlib -DQV_GUI=OFF

build-asan: deps-build deps-test $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j$(JOBS)

# The package test runs on its own below, after the other tests, not beside them.
# Configured again, so that GoogleTest is found when `make run` came first without it.
test-release: deps-build deps-test $(BUILD)/build.ninja
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS) -LE package

test-asan: build-asan
	cd $(BUILD_ASAN) && ctest --output-on-failure -L core -j$(JOBS)

# The Debian packages built by `make package`, installed into a throwaway root and checked.
test-package: package build
	bash tests/package/check.sh $(BUILD) . $(BUILD)/package

test: test-release test-asan test-package test-windows

# The core tests under ThreadSanitizer (slow; not part of make test).
$(BUILD_TSAN)/build.ninja:
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TSAN=ON -DQV_INFLATE=zlib -DQV_GUI=OFF

test-tsan: deps-build deps-test $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) -j$(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L core -j$(JOBS)

# The command line for Windows, cross-built with mingw-w64: one static .exe.
$(BUILD_WIN)/build.ninja:
	cmake -S . -B $(BUILD_WIN) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain-mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release

windows: deps-windows $(BUILD_WIN)/build.ninja
	cmake --build $(BUILD_WIN) -j$(JOBS) --target quorvex-restore-cli

# Its tests under Wine, in a fresh Wine prefix; the demo comparison needs the Linux build.
test-windows: deps-windows deps-test build $(BUILD_WIN)/build.ninja
	cmake --build $(BUILD_WIN) -j$(JOBS)
	rm -rf $(BUILD_WIN)/wineprefix
	# Made before the tests start side by side: two first starts of Wine race for the prefix.
	WINEPREFIX=$(abspath $(BUILD_WIN))/wineprefix WINEDEBUG=-all wineboot --init
	WINEPREFIX=$(abspath $(BUILD_WIN))/wineprefix wineserver -w
	cd $(BUILD_WIN) && QV_LINUX_BUILD=$(abspath $(BUILD)) ctest --output-on-failure --no-tests=error \
	  -j$(JOBS) -L windows

run: build
	@bash scripts/run.sh $(BUILD)

bench: deps-bench build
	@bash bench/run.sh $(BUILD)

# Every ratio of the benchmarks as median and spread over BENCH_RUNS whole runs.
BENCH_RUNS ?= 3
bench-summary: deps-bench build
	@python3 bench/summary.py $(BENCH_RUNS) $(BUILD)

# Lines of test code per subsystem beside the code they test.
test-lines:
	@bash scripts/test-lines.sh

$(BUILD_FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQV_FUZZ=ON -DQV_GUI=OFF -DQV_INFLATE=auto

fuzz: deps-build deps-test deps-fuzz $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) -j$(JOBS)
	@bash scripts/run-fuzz.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

xgettext: build
	cmake --build $(BUILD) --target xgettext

screenshots: deps-screenshots build
	@bash scripts/screenshots.sh $(BUILD)

# The Debian packages quorvex-restore-cli and quorvex-restore, built by dpkg-buildpackage from a
# copy of the source tree into $(BUILD)/package (with the .changes file and build.log).
package: deps-build deps-package
	@bash scripts/build-packages.sh . $(BUILD)/package $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ) $(BUILD_WIN)
