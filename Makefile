# Quick start: `make demo` builds everything and shows the plug-in on simulated devices;
# `make test` runs every test. Both install missing packages first (scripts/install-deps.sh).
VERSION := $(shell grep -m1 -o 'quarnel VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=
FUZZ_TARGETS ?=
FUZZ_OPTIONS ?=

.PHONY: all deps build build-linux build-win64 build-win32 build-asan build-tsan build-fuzz test \
        test-native test-tsan test-wine test-dc fuzz demo dist format format-check clean

all: build

deps:
	@bash scripts/install-deps.sh

build: build-linux build-win64 build-win32

build/linux/CMakeCache.txt:
	cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
build/win64/CMakeCache.txt:
	cmake -S . -B build/win64 -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS) >/dev/null
build/win32/CMakeCache.txt:
	cmake -S . -B build/win32 -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake $(CMAKE_FLAGS) >/dev/null
build/linux-asan/CMakeCache.txt:
	cmake -S . -B build/linux-asan -DCMAKE_BUILD_TYPE=Debug \
	  -DQUARNEL_SANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
build/linux-tsan/CMakeCache.txt:
	cmake -S . -B build/linux-tsan -DCMAKE_BUILD_TYPE=Debug \
	  -DQUARNEL_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
build/fuzz/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_FUZZ=ON \
	  -DQUARNEL_SANITIZE=fuzzer-no-link,address,undefined $(CMAKE_FLAGS) >/dev/null

build-linux: build/linux/CMakeCache.txt
	cmake --build build/linux -j $(JOBS)
build-win64: build/win64/CMakeCache.txt
	cmake --build build/win64 -j $(JOBS)
build-win32: build/win32/CMakeCache.txt
	cmake --build build/win32 -j $(JOBS)
build-asan: build/linux-asan/CMakeCache.txt
	cmake --build build/linux-asan -j $(JOBS)
build-tsan: build/linux-tsan/CMakeCache.txt
	cmake --build build/linux-tsan -j $(JOBS)
build-fuzz: build/fuzz/CMakeCache.txt
	cmake --build build/fuzz --target fuzz_targets -j $(JOBS)

# Native tests under AddressSanitizer and UndefinedBehaviorSanitizer, plus the release build's
# own checks; threaded tests again under ThreadSanitizer; then the Windows builds under Wine; then
# the Linux plug-in in a real Double Commander.
test: deps
	$(MAKE) build build-asan build-tsan
	$(MAKE) format-check test-native test-tsan test-wine test-dc

test-native:
	ctest --test-dir build/linux-asan --output-on-failure -j $(JOBS)
	ctest --test-dir build/linux --output-on-failure -L release

test-tsan:
	ctest --test-dir build/linux-tsan --output-on-failure -L threads

test-wine:
	bash tests/wine/run.sh build

test-dc:
	bash tests/doublecmd/test-doublecmd.sh build/linux

# Each fuzz target (tests/fuzz) under libFuzzer for FUZZ_SECONDS (or FUZZ_RUNS executions, if
# given and reached first; FUZZ_OPTIONS adds libFuzzer options), one after the other; new crashes
# land in build/fuzz/fuzz-crashes/.
# Not part of `make test`, which replays the seed corpora.
fuzz: deps
	$(MAKE) build-fuzz
	FUZZ_RUNS=$(FUZZ_RUNS) FUZZ_OPTIONS="$(FUZZ_OPTIONS)" bash tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

demo: deps
	$(MAKE) build
	bash scripts/demo.sh

dist: build
	bash packaging/make-dist.sh $(VERSION)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build dist
