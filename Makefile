# Zibbet: `make run` starts the demo, `make test` runs every test.
# Both install what is missing first (Debian packages, through apt-get).

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
STEPS      ?= 1000

.PHONY: all deps build asan test run bench bench-frame fuzz format clean package

all: build

deps:
	@bash tools/deps.sh

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

run: build
	bash tools/run.sh $(BUILD)

bench: build
	cd $(BUILD)/run && ../tools/zibbet-bench --steps $(STEPS)

# Frame times of the default scene on a fresh virtual X server (software GL).
bench-frame: build
	bash tools/with-xvfb.sh $(BUILD)/bench/frame_bench

# A Debian package of the Release build, written into $(BUILD).
package: build
	bash tools/packaging/package.sh $(BUILD)

fuzz:
	@bash tools/deps.sh --fuzz
	bash fuzz/run.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
