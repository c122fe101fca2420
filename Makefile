# The README's commands. Each one first installs what is missing, then
# configures (once) and builds incrementally.
.PHONY: all deps test run bench fuzz clean

all: test

deps:
	@scripts/install-deps

build/%/build.ninja:
	cmake --preset $*

test: deps build/ci/build.ninja build/tsan/build.ninja
	cmake --build --preset tsan
	ctest --preset tsan
	cmake --build --preset ci
	ctest --preset ci

run: deps build/release/build.ninja
	cmake --build --preset release
	mkdir -p run
	cd run && ../build/release/src/app/zenkalo

bench: deps build/release/build.ninja
	cmake --build --preset release
	build/release/bench/zenkalo_bench

# Fuzzes conditions for FUZZ_SECONDS; new finds collect under build/fuzz, the
# committed seeds are read from fuzz/corpus.
FUZZ_SECONDS ?= 60
fuzz: deps build/fuzz/build.ninja
	cmake --build --preset fuzz
	mkdir -p build/fuzz/condition-finds
	build/fuzz/fuzz/condition_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
		build/fuzz/condition-finds fuzz/corpus/condition

clean:
	rm -rf build
