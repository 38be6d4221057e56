# Entry points for a fresh Debian 12 machine. Every target that builds first
# makes sure the packages of its layer are there (scripts/install-deps is
# cheap when they are): build and install need a compiler only, the tests
# bring GoogleTest and the tools they drive, deb brings dpkg-dev and lintian.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
BUILD_BENCH ?= build-bench
BUILD_DEB  ?= build-deb
FUZZ_SECONDS ?= 60
JOBS       ?= 2
CMAKE_ARGS ?=
PREFIX     ?= /usr/local

.PHONY: all deps build test test-asan test-tsan fuzz fuzz-smoke demo demo-client demo-signalling install deb clean bench

all: build

deps:
	scripts/install-deps

# The programs and zel_replay alone: no GoogleTest, Google Benchmark or clang.
build:
	scripts/install-deps --build
	cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

# Every test of the normal build (the same tree, with the tests switched
# on), then the suites once more under AddressSanitizer+UBSan (label "asan")
# and ThreadSanitizer (label "tsan").
test: deps
	cmake -S . -B $(BUILD) -DBUILD_TESTING=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory test-asan test-tsan fuzz-smoke

test-asan:
	scripts/install-deps --build --test
	cmake -S . -B $(BUILD_ASAN) -DZEL_SANITIZE="address;undefined" $(CMAKE_ARGS)
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j$(JOBS) -L asan

test-tsan:
	scripts/install-deps --build --test
	cmake -S . -B $(BUILD_TSAN) -DZEL_SANITIZE=thread $(CMAKE_ARGS)
	cmake --build $(BUILD_TSAN) -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(BUILD_TSAN) --output-on-failure -j$(JOBS) -L tsan

# libFuzzer targets (clang, ASan+UBSan) for every input parser; fuzz-smoke
# runs each for FUZZ_SECONDS from its seed corpus, two at a time, and fails
# on any crash, leak, time-out or broken property.
fuzz:
	scripts/install-deps --build --test
	cmake -S fuzz -B $(BUILD_FUZZ) -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_ARGS)
	cmake --build $(BUILD_FUZZ) -j$(JOBS)

fuzz-smoke: fuzz
	fuzz/run $(BUILD_FUZZ)/bin $(FUZZ_SECONDS) $(BUILD_FUZZ)/runs

# Benchmarks in a Release tree of their own, then one run of the record
# benchmark; scripts/bench-compare and scripts/bench-loopback use the same
# tree (see docs/performance.md). Never part of `make test`.
bench:
	scripts/install-deps --build --test
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DZEL_BENCH=ON $(CMAKE_ARGS)
	cmake --build $(BUILD_BENCH) -j$(JOBS)
	$(BUILD_BENCH)/bin/bench_record

# The whole pipeline on loopback (needs root for live capture): server mode
# with a subscriber, or client mode into a local upstream server.
demo: build
	scripts/install-deps --demo
	scripts/demo

demo-client: build
	scripts/install-deps --demo
	scripts/demo --client

# IPv6, fragments at MTU 1,500 (a veth pair into a network namespace) and
# SIP over TCP, seen with --ipv6 --reassemble --tcp.
demo-signalling: build
	scripts/install-deps --demo
	scripts/demo --signalling

# Honours PREFIX (configure time, so the units name the installed paths) and
# DESTDIR (staging root, read by cmake --install from the environment).
install:
	scripts/install-deps --build
	cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)
	cmake --install $(BUILD)

# $(BUILD_DEB)/zel-packet-monitor_<version>_<arch>.deb, the version being the
# project's. Compiled with Debian's hardening flags (dpkg-buildflags, the
# flags alone: build type None), tests off; fails when lintian finds an error.
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
deb:
	scripts/install-deps --build --deb
	cmake -S . -B $(BUILD_DEB) -DBUILD_TESTING=OFF -DZEL_DEB=ON -DCMAKE_BUILD_TYPE=None \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CXXFLAGS) $$($(DEB_FLAGS) CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)" $(CMAKE_ARGS)
	cmake --build $(BUILD_DEB) -j$(JOBS)
	rm -f $(BUILD_DEB)/*.deb
	cd $(BUILD_DEB) && cpack -G DEB
	lintian --fail-on error $(BUILD_DEB)/*.deb

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ) $(BUILD_BENCH) $(BUILD_DEB)
