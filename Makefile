# Front door of the project. `make demo` and `make test` install what is
# missing, build every variant and run.
.PHONY: all deps host windows asan build demo check test fuzz release format format-check clean

all: build

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host

windows: host
	cmake --preset windows >/dev/null
	cmake --build --preset windows

# The host build under AddressSanitizer and UndefinedBehaviorSanitizer
# (build/asan); with clang it also carries the fuzz targets.
asan: deps
	cmake --preset host-asan >/dev/null
	cmake --build --preset host-asan

build: host windows

# The quick loop: the host build and every test that needs neither Wine nor
# the sanitizer build, with a campaign of 500 scenarios in place of the
# 5,000 that `make test` runs.
CHECK_CAMPAIGN ?= 500
check: host
	ctest --preset host --timeout 300 -j2 -E '^(wine\.|Campaign\.)'
	build/host/sim/tessel-sim --campaign $(CHECK_CAMPAIGN) --seed 1 --jobs 2

# The formatting first, then every test of the host build (Wine's included),
# then the unit, scenario and fuzz tests (each fuzz target for a short while)
# under the sanitizers.
test: format-check
	$(MAKE) --no-print-directory build asan
	ctest --preset host --timeout 300 -j2
	ctest --preset host-asan --timeout 600 -j2

# Runs every fuzz target for FUZZ_SECONDS each, two at a time.
FUZZ_SECONDS ?= 60
fuzz: asan
	scripts/fuzz.sh build/asan all $(FUZZ_SECONDS)

demo: build
	scripts/demo.sh

# build/release/: signed packaged program (throw-away test certificate), bare
# program, tessel-pack for Linux and Windows, the test certificate, SHA256SUMS.
release: build
	scripts/release.sh

# Formats every C++ file of the project with its .clang-format;
# format-check fails, naming the places, where a file is not formatted so.
format: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build
