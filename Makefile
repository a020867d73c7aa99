# Shardex: set-up, build, run and test on a Debian machine.
#   make run         install what is missing, build, start the program
#   make test        install, build, run every test (in CI also the sanitizer passes)
#   make test-tsan   the tests that run threads, built with ThreadSanitizer
#   make screenshot  write the window, with a generated clip loaded, to build/screenshot.png
#   make bench       build the benchmarks and print their ratios
#   make soak        long runs, two Servers at once, a source over 4 GiB (and the fuzzers); minutes
#   make demo        a three-computer run on this computer: two agents on loopback and the window
#   make fuzz        build the fuzz targets (clang) and run each for FUZZ_SECONDS (60)
#   make test-debian13  build (warnings as errors) and test in a Debian 13 chroot (root; cached)
#   make deb         the Debian package build/shardex_VERSION_ARCH.deb, and lintian's report on it

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
# What the ThreadSanitizer pass builds and runs: the programs whose threads meet (the
# encoder's worker and its owner, the agent's sessions and event streams, the shares), not
# the whole project, to keep CI's time in bounds. The window's tests are left out: Qt 6 hands
# queued calls between threads under futex locks ThreadSanitizer cannot see, so every call
# a worker posts to the window reads as a race, and a suppression wide enough to hide that
# would hide real races in the posted code too.
TSAN_TARGETS ?= shardex_encoder_tests shardex-encode agent_test shardex-agent remote_test
TSAN_TESTS   ?= ^(encoder|agent|remote|share)\.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
# In CI warnings are errors and the sanitizer passes run (AddressSanitizer, then
# ThreadSanitizer); set SANITIZE=1 to run them locally.
ifeq ($(CI),true)
  WERROR   ?= ON
  SANITIZE ?= 1
else
  WERROR   ?= OFF
  SANITIZE ?= 0
endif

# ccache keys on paths relative to the checkout, so clones and worktrees share its cache.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHARDEX_WERROR=$(WERROR)

.PHONY: deps configure build run demo test test-asan test-tsan test-debian13 screenshot bench fuzz soak deb clean

deps:
	@bash tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) > $(BUILD).configure.log 2>&1 || { cat $(BUILD).configure.log; exit 1; }

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@mkdir -p "$$HOME/Shardex"
	$(BUILD)/src/app/shardex

demo: build
	@bash tools/demo.sh $(BUILD)

test: build
	@bash tools/run-tests.sh $(BUILD)
ifeq ($(SANITIZE),1)
	@$(MAKE) --no-print-directory test-asan
	@$(MAKE) --no-print-directory test-tsan
endif

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSHARDEX_WERROR=$(WERROR) \
	  -DSHARDEX_SANITIZE=ON -DSHARDEX_BUILD_BENCH=OFF -DSHARDEX_BUILD_SOAK=OFF > $(ASAN_BUILD).configure.log 2>&1 \
	  || { cat $(ASAN_BUILD).configure.log; exit 1; }
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@bash tools/run-tests.sh $(ASAN_BUILD) sanitized

test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHARDEX_WERROR=$(WERROR) \
	  -DSHARDEX_TSAN=ON -DSHARDEX_BUILD_BENCH=OFF > $(TSAN_BUILD).configure.log 2>&1 \
	  || { cat $(TSAN_BUILD).configure.log; exit 1; }
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TARGETS)
	@bash tools/run-tests.sh $(TSAN_BUILD) threads '$(TSAN_TESTS)'

test-debian13:
	@bash tools/test-debian13.sh

screenshot: build
	@bash tools/screenshot.sh $(BUILD)

bench: build
	@bash tools/run-bench.sh $(BUILD)

fuzz: deps
	@bash tools/install-deps.sh tools/apt-packages-fuzz.txt
	@bash tools/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

soak: build
	@bash tools/soak.sh $(BUILD)

deb: build
	@bash tools/install-deps.sh tools/apt-packages-package.txt
	@bash tools/make-deb.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BUILD).configure.log $(ASAN_BUILD).configure.log \
	  $(TSAN_BUILD).configure.log
