# Shardex: set-up, build, run and test on a Debian machine.
#   make run         install what is missing, build, start the program
#   make test        install, build, run every test (in CI also a sanitizer pass)
#   make screenshot  write the window, with a generated clip loaded, to build/screenshot.png
#   make bench       build the benchmarks and print their ratios
#   make soak        long runs, two Servers at once, a source over 4 GiB (and the fuzzers); minutes
#   make demo        a three-computer run on this computer: two agents on loopback and the window

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
# In CI warnings are errors and the sanitizer pass runs; set SANITIZE=1 to run it locally.
ifeq ($(CI),true)
  WERROR   ?= ON
  SANITIZE ?= 1
else
  WERROR   ?= OFF
  SANITIZE ?= 0
endif

CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHARDEX_WERROR=$(WERROR)

.PHONY: deps configure build run demo test test-asan screenshot bench soak clean

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
endif

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSHARDEX_WERROR=$(WERROR) \
	  -DSHARDEX_SANITIZE=ON -DSHARDEX_BUILD_BENCH=OFF -DSHARDEX_BUILD_SOAK=OFF > $(ASAN_BUILD).configure.log 2>&1 \
	  || { cat $(ASAN_BUILD).configure.log; exit 1; }
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@bash tools/run-tests.sh $(ASAN_BUILD) sanitized

screenshot: build
	@bash tools/screenshot.sh $(BUILD)

bench: build
	@bash tools/run-bench.sh $(BUILD)

soak: build
	@bash tools/soak.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BUILD).configure.log $(ASAN_BUILD).configure.log
