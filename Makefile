# korv: the two commands.
#   make run   - build, play the demonstration on a simulated phone
#   make test  - build with ASan+UBSan and run every test (CTest)
#   make doctest - only the console sessions of README.md and docs/ (docs/doctest.md)
# and, for the phone's build, make phone-check (below).
# Both install missing Debian packages first (as root; otherwise they print
# the apt-get line to run).

DEPS := cmake g++ make pkg-config libevent-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev e2fsprogs mount tshark python3-cram \
	android-libcutils-dev android-liblog-dev android-libbase-dev mini-soong soong \
	m4 checkpolicy policycoreutils setools selinux-utils
JOBS ?= 2
BUILD_TEST := build/asan
# ARCH=arm64: `make build` and `make run` use the aarch64 cross build, run
# under qemu-user (see test-arm64 below).
ARCH ?= native
ifeq ($(ARCH),arm64)
BUILD_RUN := build/arm64-release
RUN_DEPS := deps-arm64
RUN_CMAKE := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake
else
BUILD_RUN := build/release
RUN_DEPS := deps
RUN_CMAKE :=
endif

.PHONY: run test doctest deps deps-arm64 build test-arm64 phone-check tsan fuzz bench chaos clean

# A package counts only when installed for this machine's architecture (or for
# all): a foreign-architecture copy (multiarch) does not build here.
deps:
	@arch=$$(dpkg --print-architecture); missing=""; for p in $(DEPS); do \
	  dpkg -s $$p:$$arch >/dev/null 2>&1 || dpkg -s $$p:all >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing packages; run as root:"; echo "  apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi

build: $(RUN_DEPS)
	cmake -S . -B $(BUILD_RUN) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(RUN_CMAKE) >/dev/null
	cmake --build $(BUILD_RUN) -j$(JOBS)

run: build
	$(BUILD_RUN)/bin/korv-sim demo

test: deps
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=Debug -DKORV_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_TEST) -j$(JOBS)
	ctest --test-dir $(BUILD_TEST) --output-on-failure -j$(JOBS)

# The console sessions of README.md and docs/*.md, run as transcripts against
# the sanitizer build's tools (docs/doctest.md); make test runs them too.
doctest: deps
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=Debug -DKORV_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_TEST) -j$(JOBS)
	ctest --test-dir $(BUILD_TEST) --output-on-failure -j$(JOBS) -L '^doctest$$'

# The phone's CPU: everything built for aarch64 with Debian's cross toolchain
# and the whole CTest suite run here under qemu-user through binfmt_misc, so
# that every process a test starts is emulated too.  UndefinedBehaviorSanitizer
# only: AddressSanitizer's shadow memory does not fit under qemu-user.
BUILD_ARM64 := build/arm64
deps-arm64: deps
	@cmake/arm64-host.sh $(CURDIR)/build/arm64-deps

test-arm64: deps-arm64
	cmake -S . -B $(BUILD_ARM64) -DCMAKE_BUILD_TYPE=Debug -DKORV_UBSAN=ON \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake >/dev/null
	cmake --build $(BUILD_ARM64) -j$(JOBS)
	@file -L $(BUILD_ARM64)/bin/korv | grep -q 'ARM aarch64' || { echo "korv is not an aarch64 executable"; exit 1; }
	ctest --test-dir $(BUILD_ARM64) --output-on-failure -j$(JOBS)

# The phone's build, proven on this machine (docs/phone.md): every cc module
# of Android.bp built from the file's own lines, with this machine's compiler,
# against Debian's packages of the platform's libraries
# (tools/phone-check/platform.mk names what comes from where), every binary
# linked, and nothing of the simulation in them.  Android.bp must also be in
# bpfmt's format (bpfix -w Android.bp rewrites it).
BUILD_PHONE := build/phone-check
phone-check: deps
	@if [ -n "$$(bpfix -l Android.bp)" ]; then bpfix -d Android.bp; \
	  echo "Android.bp is not in bpfmt's format"; exit 1; fi
	/usr/bin/python3 tools/phone-check/bp_build.py Android.bp $(BUILD_PHONE)
	$(MAKE) --no-print-directory -f $(BUILD_PHONE)/Makefile -j$(JOBS)
	tools/phone-check/no-sim.sh $(BUILD_PHONE)

# ThreadSanitizer build of the threaded tests (docs/fuzzing.md): every test
# executable whose code runs on more than one thread, korv itself in the
# end-to-end ones.  Each process writes its reports into build/tsan/reports
# and stops at the first; any report fails the run.
BUILD_TSAN := build/tsan
TSAN_TESTS := adapter_os_test adapter_event_test msg_stream_test sim_cutils_test \
	fwmd_test fwlink_unit_test fwlink_e2e_test bringup_test nvram_store_test nvram_msg_test \
	nvram_durable_test ctl_e2e_test ctl_hostile_test work_e2e_test socbridge_scan_test exception_e2e_test utran_e2e_test capture_e2e_test capture_attack_test
tsan: deps
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DKORV_TSAN=ON >/dev/null
	cmake --build $(BUILD_TSAN) -j$(JOBS) --target $(TSAN_TESTS)
	rm -rf $(BUILD_TSAN)/reports && mkdir -p $(BUILD_TSAN)/reports
	@TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 log_path=$(CURDIR)/$(BUILD_TSAN)/reports/tsan" \
	  ctest --test-dir $(BUILD_TSAN) -L "^($$(echo $(TSAN_TESTS) | tr ' ' '|'))$$" --output-on-failure -j$(JOBS); \
	  rc=$$?; \
	  if ls $(BUILD_TSAN)/reports/tsan.* >/dev/null 2>&1; then \
	    cat $(BUILD_TSAN)/reports/tsan.*; echo "tsan: ThreadSanitizer reports above"; exit 1; \
	  fi; \
	  exit $$rc

# libFuzzer targets (clang), each for a bounded time (docs/fuzzing.md):
# FUZZ_SECONDS per target, a finding fails the run.
BUILD_FUZZ := build/fuzz
FUZZ_SECONDS ?= 25
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=Debug -DKORV_SANITIZE=ON \
	  -DKORV_FUZZ=ON >/dev/null
	cmake --build $(BUILD_FUZZ) -j$(JOBS) --target fuzz_all
	fuzz/run.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# Optimised build and the benchmark table (bench/README.md).
BUILD_BENCH := build/bench
bench: deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DKORV_BENCH=ON \
	  -DKORV_SANITIZE=OFF -DKORV_TSAN=OFF -DKORV_FUZZ=OFF >/dev/null
	cmake --build $(BUILD_BENCH) --target korv-bench -j$(JOBS)
	$(BUILD_BENCH)/bin/korv-bench

# Seeded traffic and faults against korv on a simulated phone whose /data is
# an ext4 image, every invariant checked (docs/reliability.md); root only.
# The AddressSanitizer build, a fixed seed, two minutes unless MINUTES says
# otherwise (MINUTES=60 for the long run); WITHOUT=KIND,... leaves kinds of
# step out.  The phone stays in build/chaos.
CHAOS_DIR := build/chaos
SEED ?= 20261207
MINUTES ?= 2
WITHOUT ?=
chaos: deps
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=Debug -DKORV_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_TEST) -j$(JOBS) --target korv korv-sim
	@if mountpoint -q $(CHAOS_DIR)/data; then umount $(CHAOS_DIR)/data; fi
	rm -rf $(CHAOS_DIR)
	$(BUILD_TEST)/bin/korv-sim chaos $(CHAOS_DIR) --seed $(SEED) --minutes $(MINUTES) $(if $(WITHOUT),--without $(WITHOUT))

clean:
	rm -rf build
