# The two commands of this repository; both work on a fresh Debian 12 machine
# as root and install what is missing first.
.PHONY: all build test demo bench fuzz clean

all: build

build:
	scripts/bootstrap.sh
	scripts/build.sh

demo:
	scripts/demo.sh

test:
	scripts/test.sh

bench:
	scripts/bench.sh

# Every fuzz target for FUZZ_SECONDS each (default 60); see tests/fuzz/run-fuzz.sh.
fuzz:
	tests/fuzz/run-fuzz.sh

clean:
	rm -rf build
