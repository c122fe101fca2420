# The README's commands. Each one first installs what is missing, then
# configures (once) and builds incrementally.
.PHONY: all deps test run bench clean

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

clean:
	rm -rf build
