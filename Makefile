# Savrel: the two everyday commands are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
XVFB = xvfb-run -a -s "-screen 0 1280x1024x24"

.PHONY: all deps build run test bench font-sheet fonts test-sanitize fuzz soak clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release > /dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

test: build
	@cd $(BUILD) && $(XVFB) ctest --output-on-failure -j $(JOBS)

bench: build
	@$(XVFB) $(BUILD)/bench/savrel_bench --benchmark_counters_tabular=true

clean:
	rm -rf $(BUILD) build-*

font-sheet: build
	@cmake --build $(BUILD) --target font-sheet

fonts: build
	@cmake --build $(BUILD) --target fonts

# Reliability: libFuzzer targets (clang-14), the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a soak of the viewer under random input.
SECONDS ?= 60
MINUTES ?= 1

fuzz:
	@bash scripts/install-deps.sh clang-14 libclang-rt-14-dev
	@bash scripts/fuzz.sh --seconds $(SECONDS)

test-sanitize: deps
	@cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSAVREL_SANITIZE=ON -DSAVREL_BENCH=OFF > /dev/null
	@cmake --build build-sanitize -j $(JOBS)
	@cd build-sanitize && $(XVFB) ctest --output-on-failure -j $(JOBS)

soak: deps
	@bash scripts/soak.sh --minutes $(MINUTES)
