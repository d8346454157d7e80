# Front door of the project. `make demo` and `make test` are all a fresh machine needs.
JOBS ?= 2
PRODUCT ?= itunes64
DB ?= sqlite

.PHONY: all bootstrap configure build test asan-test release demo demo-store clean format windows windows-test

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake --preset debug >/dev/null

build: configure
	@cmake --build --preset debug -j $(JOBS)

test: build
	@ctest --preset debug -j $(JOBS) --timeout 900

asan-test: bootstrap
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS) --timeout 900

release: bootstrap
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS)

# The handler and its libraries built for Windows with mingw-w64; the tests run under Wine.
CCACHE_LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

windows: bootstrap
	@cmake --preset windows $(CCACHE_LAUNCHER) >/dev/null
	@cmake --build --preset windows -j $(JOBS)

windows-test: windows
	@scripts/windows-test

demo: build
	@tools/demo/run-demo "$(PRODUCT)"

# The store on a database: DB=sqlite (default), pgsql or mariadb.
demo-store: build
	@tools/demo-store/run-demo-store "$(DB)"

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build
