# korv: the two commands.
#   make run   - build, play the demonstration on a simulated phone
#   make test  - build with ASan+UBSan and run every test (CTest)
# Both install missing Debian packages first (as root; otherwise they print
# the apt-get line to run).

DEPS := cmake g++ make pkg-config libevent-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
JOBS ?= 2
BUILD_RUN := build/release
BUILD_TEST := build/asan

.PHONY: run test deps build tsan fuzz bench clean

deps:
	@missing=""; for p in $(DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing packages; run as root:"; echo "  apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi

build: deps
	cmake -S . -B $(BUILD_RUN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD_RUN) -j$(JOBS)

run: build
	$(BUILD_RUN)/bin/korv-sim demo

test: deps
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=Debug -DKORV_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_TEST) -j$(JOBS)
	ctest --test-dir $(BUILD_TEST) --output-on-failure -j$(JOBS)

# ThreadSanitizer build of the threaded tests.
tsan: deps
	@echo "tsan: not yet"

# libFuzzer targets (clang), each for a bounded time.
fuzz: deps
	@echo "fuzz: not yet"

# Optimised build and the benchmark table (bench/README.md).
BUILD_BENCH := build/bench
bench: deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DKORV_BENCH=ON \
	  -DKORV_SANITIZE=OFF -DKORV_TSAN=OFF -DKORV_FUZZ=OFF >/dev/null
	cmake --build $(BUILD_BENCH) --target korv-bench -j$(JOBS)
	$(BUILD_BENCH)/bin/korv-bench

clean:
	rm -rf build
