# Zibbet: `make run` starts the demo, `make test` runs every test.
# Both install what is missing first (Debian packages, through apt-get).

BUILD      ?= build
ASAN_BUILD ?= build-asan
ARM64_BUILD ?= build-arm64
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
STEPS      ?= 1000
# Endurance runs: the headless soak's steps, how often its drag changes and
# the drag in pixels; the window soak's length in seconds and its random seed.
SOAK_STEPS   ?= 1000000
SOAK_EVERY   ?= 100000
SOAK_DRAG    ?= 30 20
SOAK_SECONDS ?= 600
SOAK_SEED    ?= 20240601

.PHONY: all deps build asan test test-arm64 run bench bench-frame soak soak-gui fuzz format clean package \
	mutants

all: build

deps:
	@bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# The same tests again with AddressSanitizer and UBSan.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZIBBET_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build asan
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The aarch64 cross build under qemu-user: its tests, and the headless
# runner's digest on the default scene against this build's.
test-arm64: build
	@bash scripts/deps.sh --arm64
	JOBS=$(JOBS) bash scripts/test-arm64.sh $(BUILD) $(ARM64_BUILD)

run: build
	bash scripts/run.sh $(BUILD)

bench: build
	cd $(BUILD)/run && ../zibbet-bench/zibbet-bench --steps $(STEPS)

# Frame times of the default scene on a fresh virtual X server (software GL).
bench-frame: build
	bash scripts/with-xvfb.sh $(BUILD)/bench/frame_bench

# A Debian package of the Release build, written into $(BUILD).
package: build
	bash packaging/package.sh $(BUILD)

# The default scene for SOAK_STEPS steps, the cube still, then every
# SOAK_EVERY steps turning, still, turning back, still; checks every step and
# fails when the summary's checks fail.
soak: build
	cd $(BUILD)/run && ../zibbet-bench/zibbet-bench --steps $(SOAK_STEPS) --schedule $(SOAK_EVERY) \
		--drag $(SOAK_DRAG) --soak

# The real program on a fresh virtual X server for SOAK_SECONDS, random drags
# and keys; its files, console and last screenshot stay in $(BUILD)/soak-gui.
soak-gui: build
	SOAK_SECONDS=$(SOAK_SECONDS) SOAK_SEED=$(SOAK_SEED) SOAK_DIR=$(CURDIR)/$(BUILD)/soak-gui \
		bash scripts/with-xvfb.sh $(BUILD)/tests/window/zibbet_window_tests \
		--gtest_also_run_disabled_tests --gtest_filter=ZibbetE2e.DISABLED_SoakGui

# FUZZ_TARGETS, FUZZ_SECONDS, FUZZ_RUNS and FUZZ_WORKERS: see fuzz/run.sh.
fuzz:
	@bash scripts/deps.sh --fuzz
	bash fuzz/run.sh

# The mutation check: each fault of tests/mutants/faults.txt planted in a
# copy of the tree (build-mutants), the Release tests run on it; the table
# goes to tests/mutants/results.txt. MUTANTS="id ..." runs only those.
mutants: deps
	JOBS=$(JOBS) bash tests/mutants/run.sh $(MUTANTS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(ARM64_BUILD) build-fuzz build-mutants
