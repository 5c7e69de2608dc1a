# The two commands of this repository; both work on a fresh Debian 12 machine
# as root and install what is missing first.
.PHONY: all build test check demo bench stress fuzz dist reproducible coverage lint clean

all: build

build:
	scripts/bootstrap.sh
	scripts/build.sh

demo:
	scripts/demo.sh

# The suite, a seeded fuzz run and the demo again in build-checked/, with
# undefined-behaviour checks and the guard-page heap (scripts/check.sh).
check:
	scripts/check.sh

test:
	scripts/test.sh

bench:
	scripts/bench.sh

# The stress loads at full size (the test programs labelled "stress":
# tests/stress, and the loads of tests/integration); make test runs them short.
stress:
	WARDLINE_STRESS=long CTEST_ARGS="-L stress --verbose" scripts/test.sh

# Every fuzz target for FUZZ_SECONDS each (default 60); see tests/fuzz/run-fuzz.sh.
fuzz:
	tests/fuzz/run-fuzz.sh

# What a release ships, in dist/ (scripts/dist.sh, docs/trust.md).
dist:
	scripts/dist.sh

# A second build of Wardline.dll elsewhere gives the same bytes, and the
# shipped library is that build, signed (scripts/check-reproducible.sh).
reproducible:
	CTEST_ARGS="-L reproducible --output-on-failure" scripts/test.sh

# The test suite with coverage counters in build-coverage/, and a report per
# folder of src/ (scripts/coverage.sh).
coverage:
	scripts/coverage.sh

# src/, host/ and tools/ built with clang 14 in build-clang/ (warnings as
# errors, the thread-safety analysis of the lock annotations), then
# clang-tidy over them (.clang-tidy); fails on any finding (scripts/lint.sh).
lint:
	scripts/lint.sh

clean:
	rm -rf build build-checked build-clang build-coverage dist
