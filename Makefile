# Front door. `make run` builds and runs the main job; `make test` builds and passes all tests.
JOBS        ?= 2
BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_FUZZ  ?= build-fuzz
FUZZ_SECONDS ?= 20
CMAKE_GEN   := -G Ninja

.PHONY: all deps build build-asan test test-release test-asan run bench bench-summary test-lines fuzz xgettext screenshots package clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQV_INFLATE=auto

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

# Debug build with ASan/UBSan on the zlib engine, so CI covers both inflate engines.
$(BUILD_ASAN)/build.ninja:
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_INFLATE=zlib -DQV_GUI=OFF

build-asan: deps $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j$(JOBS)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: build-asan
	cd $(BUILD_ASAN) && ctest --output-on-failure -L core -j$(JOBS)

test: test-release test-asan

run: build
	@bash scripts/run.sh $(BUILD)

bench: build
	@bash bench/run.sh $(BUILD)

# Every ratio of the benchmarks as median and spread over BENCH_RUNS whole runs.
BENCH_RUNS ?= 3
bench-summary: build
	@python3 bench/summary.py $(BENCH_RUNS) $(BUILD)

# Lines of test code per subsystem beside the code they test.
test-lines:
	@bash scripts/test-lines.sh

$(BUILD_FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQV_FUZZ=ON -DQV_GUI=OFF -DQV_INFLATE=auto

fuzz: deps $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) -j$(JOBS)
	@bash scripts/run-fuzz.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

xgettext: build
	cmake --build $(BUILD) --target xgettext

screenshots: build
	@bash scripts/screenshots.sh $(BUILD)

# The Debian packages quorvex-restore-cli and quorvex-restore, into $(BUILD)/package.
package: build
	cd $(BUILD) && cpack -G DEB
	@ls -l $(BUILD)/package/*.deb

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ)
