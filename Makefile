# Front door of the project. `make demo` and `make test` install what is
# missing, build every variant and run.
.PHONY: all deps host windows build demo test release format clean

all: build

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host

windows: host
	cmake --preset windows >/dev/null
	cmake --build --preset windows

build: host windows

test: build
	ctest --preset host --timeout 300 -j2

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
