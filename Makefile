# Entry points for a fresh Debian 12 machine: `make demo` and `make test`.
BUILD_DIR    ?= build
ASAN_DIR     ?= build-asan
TSAN_DIR     ?= build-tsan
JOBS         ?= $(shell nproc)
CTEST_FLAGS  ?= --output-on-failure

DEB_PACKAGES := build-essential cmake pkg-config python3 openssl ca-certificates iputils-ping curl \
                libspdlog-dev libfmt-dev picojson-dev libsqlite3-dev libcurl4-openssl-dev libssl-dev \
                libgtest-dev libgmock-dev

# libFuzzer targets, each run FUZZ_SECONDS; new inputs collect in $(FUZZ_DIR)/corpus, seeds stay in the tree.
FUZZ_DIR      ?= build-fuzz
FUZZ_SECONDS  ?= 60
# The poll-answer target writes a database per input: a memory-backed folder keeps it fast.
FUZZ_TMPDIR   ?= /dev/shm
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_TARGETS  := PollAnswerFuzz SettingsFuzz TextToTimeFuzz SimpleCipherFuzz OrderCheckFuzz

# Benchmarks and the end-to-end figures (`make bench`), in $(BENCH_DIR); see README.md.
BENCH_DIR      ?= build-bench
BENCH_PACKAGES := libbenchmark-dev gnuplot-nox

# Cross build for the device (32-bit ARM Debian), tested under qemu user-mode emulation.
ARMHF_DIR      ?= build-armhf
ARMHF_PACKAGES := g++-arm-linux-gnueabihf qemu-user \
                  libc6:armhf libstdc++6:armhf libspdlog-dev:armhf libfmt-dev:armhf libsqlite3-dev:armhf \
                  libcurl4-openssl-dev:armhf libssl-dev:armhf libgtest-dev:armhf libgmock-dev:armhf

.PHONY: all deps build test bench demo stress fleet deps-armhf test-armhf sanitize tsan fuzz format-check clean \
        deps-package deps-vm package package-armhf test-vm test-vm-armhf powercut vm-image-amd64 vm-image-armhf

all: build

deps:
	@./tools/install-deps.sh $(DEB_PACKAGES)

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS) -j $(JOBS)

bench: deps
	@./tools/install-deps.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_BENCH=ON -DVELK_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)
	$(BENCH_DIR)/bench/velk_bench --benchmark_out=$(BENCH_DIR)/micro.json --benchmark_out_format=json
	python3 tools/bench/bench.py --binary $(BENCH_DIR)/velk-sandbox --bench $(BENCH_DIR)/bench/velk_bench \
		--micro $(BENCH_DIR)/micro.json --out $(BENCH_DIR)/figures

# The agent's main job end to end on this machine, in $(BUILD_DIR)/demo (see README.md).
demo: build
	python3 tools/demo/demo.py --binary $(BUILD_DIR)/velk-sandbox --dir $(BUILD_DIR)/demo

# Random SIGKILLs with restarts, checked after each (tools/stress.py); `make stress KILLS=1000`.
# FAULTS=reader,disk adds `velkctl status` loops and a database folder that fills (root only).
KILLS  ?= 300
FAULTS ?=
stress: build
	python3 tools/stress.py --binary $(BUILD_DIR)/velk-sandbox --kills $(KILLS) --faults "$(FAULTS)"

# FLEET_N sandbox agents against one local service, every scenario with the fleet settings off and on
# (tools/fleet.py): the table in $(FLEET_DIR)/fleet.md, the plot in fleet.png. About 15 minutes.
FLEET_N        ?= 200
FLEET_DIR      ?= $(BUILD_DIR)/fleet
FLEET_PACKAGES := gnuplot-nox
fleet: deps $(BUILD_DIR)/CMakeCache.txt
	@./tools/install-deps.sh $(FLEET_PACKAGES)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target velk-sandbox velkctl
	python3 tools/fleet.py --binary $(BUILD_DIR)/velk-sandbox --velkctl $(BUILD_DIR)/velkctl --n $(FLEET_N) \
		--out $(FLEET_DIR)

deps-armhf:
	@./tools/install-armhf-deps.sh $(ARMHF_PACKAGES)

$(ARMHF_DIR)/CMakeCache.txt: | deps deps-armhf
	cmake -S . -B $(ARMHF_DIR) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-armhf.cmake

test-armhf: deps deps-armhf $(ARMHF_DIR)/CMakeCache.txt
	cmake --build $(ARMHF_DIR) -j $(JOBS)
	cd $(ARMHF_DIR) && ctest $(CTEST_FLAGS) -j $(JOBS)

# Address and undefined-behaviour sanitizers over the whole suite.
sanitize: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=address,undefined
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ctest $(CTEST_FLAGS) -j $(JOBS)

# Thread sanitizer over the whole suite.
tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=thread
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && ctest $(CTEST_FLAGS) -j $(JOBS)

fuzz: deps
	@./tools/install-deps.sh $(FUZZ_PACKAGES)
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_SANITIZE=address,undefined -DVELK_BUILD_FUZZERS=ON \
	      -DVELK_BUILD_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_DIR)/corpus/$$t && \
	    TMPDIR=$(FUZZ_TMPDIR) $(FUZZ_DIR)/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=$(FUZZ_DIR)/$$t- $(FUZZ_DIR)/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done

# The Debian packages: every .deb (amd64 and armhf) lands in $(PACKAGE_DIR)/. A build is kept until
# a file that goes into the package changes, so the tests that install it share one build.
PACKAGE_DIR      ?= build-deb
PACKAGE_PACKAGES := debhelper dpkg-dev fakeroot lintian shellcheck systemd
PACKAGE_SOURCES  := $(shell git ls-files CMakeLists.txt cmake src debian man tools/package 2>/dev/null)
VM_PACKAGES      := mmdebstrap arch-test qemu-user-static binfmt-support qemu-system-x86 qemu-system-arm \
                    e2fsprogs
# Images and runs of the VM tests; images are cached there, keyed on their package lists.
VM_DIR           ?= $(PACKAGE_DIR)/vm
POWERCUTS        ?= 20
# Power-cut rounds after the amd64 suite, on the same machine (CI runs a few).
VM_POWERCUTS     ?= 0
latest_deb = "$$(ls $(PACKAGE_DIR)/velk_*_$(1).deb | sort -V | tail -n 1)"

deps-package:
	@./tools/install-deps.sh $(DEB_PACKAGES) $(PACKAGE_PACKAGES)

$(PACKAGE_DIR)/built-amd64: $(PACKAGE_SOURCES) | deps-package
	JOBS=$(JOBS) ./tools/package/build-deb amd64 $(PACKAGE_DIR)
	touch $@

$(PACKAGE_DIR)/built-armhf: $(PACKAGE_SOURCES) | deps-package deps-armhf
	JOBS=$(JOBS) ./tools/package/build-deb armhf $(PACKAGE_DIR)
	touch $@

package: $(PACKAGE_DIR)/built-amd64

package-armhf: $(PACKAGE_DIR)/built-armhf

deps-vm:
	@./tools/install-deps.sh $(VM_PACKAGES)

vm-image-amd64 vm-image-armhf: vm-image-%: deps-vm
	python3 tools/vm-test/vm.py $* $(VM_DIR)

# The package on booted Debian 12 machines under real systemd (root only): see tools/vm-test/run.py.
test-vm: package deps-vm $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) --target velk-floor
	python3 tools/vm-test/run.py --arch amd64 --work $(VM_DIR) --deb $(call latest_deb,amd64) \
	    --floor $(BUILD_DIR)/velk-floor --powercuts $(VM_POWERCUTS)

test-vm-armhf: package-armhf deps-vm $(ARMHF_DIR)/CMakeCache.txt
	cmake --build $(ARMHF_DIR) --target velk-floor
	python3 tools/vm-test/run.py --arch armhf --work $(VM_DIR) --deb $(call latest_deb,armhf) \
	    --floor $(ARMHF_DIR)/velk-floor --powercuts 1

# Power cuts during update cycles on a booted amd64 machine, POWERCUTS rounds; a table per cut point.
powercut: package deps-vm
	python3 tools/vm-test/run.py --arch amd64 --work $(VM_DIR) --deb $(call latest_deb,amd64) \
	    --suite powercut --powercuts $(POWERCUTS)

format-check: build
	cmake --build $(BUILD_DIR) --target format-check

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(ARMHF_DIR) $(BENCH_DIR) $(FUZZ_DIR) $(PACKAGE_DIR)
