# Front door of the project. `make demo` and `make test` install what is
# missing, build every variant and run.
.PHONY: all deps host windows build demo test test-host test-wine clean

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

clean:
	rm -rf build
