# Every target does its own set-up: missing Debian packages are installed first
# (as root; a plain user is told what to install). A plain user builds and
# tests in user namespaces, which are checked before anything is built.
BUILD := build
ASAN_BUILD := build-asan
CMAKE_FLAGS ?=
# Every test keeps to its own directories, servers and package runs, so they run side by side.
TEST_JOBS ?= $(shell nproc)

.PHONY: all deps build build-asan test test-normal test-asan demo deb dist bench fuzz lint clean

all: build

deps:
	@tools/install-deps.sh
	@[ "$$(id -u)" -eq 0 ] || tools/check-userns.sh

build: deps
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD)

build-asan: deps
	@test -f $(ASAN_BUILD)/build.ninja || cmake -S . -B $(ASAN_BUILD) -G Ninja -DKV_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD)

test-normal: build
	ctest --test-dir $(BUILD) -j$(TEST_JOBS) --output-on-failure

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -j$(TEST_JOBS) --output-on-failure

test: test-normal test-asan

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
	rm -rf $(FUZZ_BUILD)

demo: build
	tools/demo.sh

# The Debian package $(BUILD)/kv-bootstrap_<version>_amd64.deb: kv-pack, the
# stub and the man pages, as the install rules put them under /usr.
deb: build
	cd $(BUILD) && cpack -G DEB

# The release archives $(BUILD)/kv-bootstrap-<version>-linux-x86_64.tar.gz and
# ...-linux-aarch64.tar.gz: what the install rules install, with a kv-pack for
# each machine built in the Debian 11 root. Set SOURCE_DATE_EPOCH for
# archives that are the same bytes every time. Beside them, SHA256SUMS; with
# KV_DIST_SIGNING_KEY naming a minisign secret key (make dist
# KV_DIST_SIGNING_KEY=release.key), its signature SHA256SUMS.minisig too.
KV_DIST_SIGNING_KEY ?=

dist: build
	KV_DIST_SIGNING_KEY='$(if $(KV_DIST_SIGNING_KEY),$(abspath $(KV_DIST_SIGNING_KEY)))' \
	  cmake --build $(BUILD) --target dist

# libFuzzer targets under clang with ASan + UBSan, each run for a bounded time
# (fuzz/run.sh says how to change it); the corpus in fuzz/corpus/ is not changed.
FUZZ_BUILD := build-fuzz

fuzz: deps
	@test -f $(FUZZ_BUILD)/build.ninja || cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_CXX_COMPILER=clang++ -DKV_FUZZ=ON -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) --target fuzzers
	fuzz/run.sh $(FUZZ_BUILD)

# Times the bootstrap and kv-pack against their floors and makeself and prints
# one table (bench/run.sh says how); needs about 9 GiB free under /var/tmp.
bench: build
	bench/run.sh $(BUILD)

# clang-tidy over the program's own sources (tests left out); any finding fails.
LINT_SOURCES := $(filter-out %_test.cc,$(wildcard os/*.cc formats/*.cc agent/*.cc bootstrap/*.cc tools/kv-pack/*.cc))

lint: build
	clang-tidy -p $(BUILD) --quiet --warnings-as-errors='*' \
	  --checks='-*,bugprone-*,clang-analyzer-*,performance-*' $(LINT_SOURCES)
