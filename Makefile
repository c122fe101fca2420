# The README's commands. Each one first installs what is missing, then
# configures (once) and builds incrementally.
.PHONY: all deps test run sample screenshots help bench compare fuzz clean

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
	$(MAKE) run/Irsz.tdbt help
	cd run && ../build/release/src/app/zenkalo

# The sample database the program opens: the table Irsz built from the postal list by the tdb
# shell, again whenever the list is newer. A failed build leaves no half table behind.
TDB = build/release/src/tools/tdb
sample: deps build/release/build.ninja
	cmake --build --preset release --target tdb
	$(MAKE) run/Irsz.tdbt

run/Irsz.tdbt: data/irsz.csv
	mkdir -p run
	rm -f run/Irsz.tdbt 'run/Irsz!'*
	$(TDB) create run Irsz --level 6 --column 'IRSZ WideString(4)' \
		--column 'TELEP WideString(38) COLLATE Hungarian' --column 'TELK WideString(2)' \
		--index TELEP=TELEP --index IRSZ=IRSZ \
	&& $(TDB) import run Irsz data/irsz.csv \
	|| { rm -f run/Irsz.tdbt 'run/Irsz!'*; exit 1; }

# Pictures of every window of the real program on the sample table, taken under Xvfb into
# docs/screenshots for the help document.
screenshots: deps build/release/build.ninja
	cmake --build --preset release --target zenkalo_screenshots tdb
	$(MAKE) run/Irsz.tdbt
	xvfb-run -a -s "-screen 0 1024x768x24" build/release/src/app/zenkalo_screenshots run docs/screenshots

# The help document the program opens from its working directory, built from its source in docs/.
HELP_PDF = run/Leírás.pdf
help: deps
	$(MAKE) '$(HELP_PDF)'

$(HELP_PDF): docs/leiras.html docs/leiras.css $(wildcard docs/screenshots/*.png)
	mkdir -p run
	weasyprint docs/leiras.html '$@.part' && mv '$@.part' '$@'

bench: deps build/release/build.ninja
	cmake --build --preset release
	build/release/bench/zenkalo_bench
	build/release/bench/compare

# Our engine beside SQLite on the program's workloads, at 100 000 and 1 000 000 rows; the table
# is also written to bench/results.
compare: deps build/release/build.ninja
	cmake --build --preset release --target compare
	build/release/bench/compare

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
