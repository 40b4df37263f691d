# Savrel: the two everyday commands are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
# Without -noreset the server resets whenever its last client leaves and refuses the next
# test's connection for a moment.
XVFB = xvfb-run -a -s "-screen 0 1280x1024x24 -noreset"

.PHONY: all deps build run test bench font-sheet fonts test-sanitize test-tsan fuzz soak clean

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

# The window-system and GL libraries leak at exit, and Mesa unloads its driver before the
# leak check runs, so those leaks cannot be told apart by name: suites that open a window or
# run the viewer are checked for memory errors and undefined behaviour, every other suite
# for leaks as well. A new suite that opens a window fails the first run until it is listed.
SANITIZE_WINDOW_SUITES = App|AppEndToEnd|CameraGlTest|Culling|DrawTest|FollowEndToEnd|FrameWindowTest|GraphPixels|MainLoopTest|PlatformTest|Soak|TextFreshProcess|TextTest|ViewerEndToEnd
SANITIZE_OPTIONS = UBSAN_OPTIONS=print_stacktrace=1 ASAN_OPTIONS=detect_leaks
# The build checks glGetError after every frame, so the soak among these tests catches GL errors too.
# No test gets a second try: a test that fails now and then is a fault to find.
SANITIZE_XVFB = $(XVFB)

test-sanitize: deps
	@cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSAVREL_SANITIZE=ON -DSAVREL_GL_CHECK=ON -DSAVREL_BENCH=OFF > /dev/null
	@cmake --build build-sanitize -j $(JOBS)
	@cd build-sanitize && $(SANITIZE_OPTIONS)=1 $(SANITIZE_XVFB) ctest --output-on-failure -j $(JOBS) -E '^($(SANITIZE_WINDOW_SUITES))\.'
	@cd build-sanitize && $(SANITIZE_OPTIONS)=0 $(SANITIZE_XVFB) ctest --output-on-failure -j $(JOBS) -R '^($(SANITIZE_WINDOW_SUITES))\.'

# The recorder's tests under ThreadSanitizer: the recorder, the profile layer and the tools that
# read recordings back, no window code.
TSAN_OPTIONS_ALL = TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"

test-tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSAVREL_TSAN=ON > /dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && $(TSAN_OPTIONS_ALL) ctest --output-on-failure -j $(JOBS)

soak: deps
	@bash scripts/soak.sh --minutes $(MINUTES)
