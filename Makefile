# Front door of the project. `make demo` and `make test` install what is
# missing, build every variant and run.
.PHONY: all deps host windows asan build demo test fuzz release format clean

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

# Every test of the host build, then the unit, scenario and fuzz tests (each
# fuzz target for a short while) under the sanitizers.
test: build asan
	ctest --preset host --timeout 300 -j2
	ctest --preset host-asan --timeout 600 -j2

# Runs every fuzz target for FUZZ_SECONDS each, two at a time.
FUZZ_SECONDS ?= 60
fuzz: asan
	scripts/fuzz.sh build/asan all $(FUZZ_SECONDS)

demo: build
	scripts/demo.sh

# build/release/: signed packaged program (throw-away test certificate), bare
# program, tessel-pack for Linux, the test certificate, SHA256SUMS.
release: build
	scripts/release.sh

# Formats every C++ file of the project with its .clang-format.
format: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
