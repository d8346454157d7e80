# Front door of the project. `make demo` and `make test` are all a fresh machine needs.
JOBS ?= 2
PRODUCT ?= itunes64
# Seconds each fuzz target runs in `make fuzz`.
SECONDS ?= 60
DB ?= sqlite
# ccache where present; paths below the checkout are hashed relative to it, and the build
# folder's own path is left out of debug builds' hashes, so a fresh checkout elsewhere (as
# CI's) reuses what an earlier build compiled. Expanded where a recipe uses it, after the
# bootstrap prerequisite has installed ccache on a fresh machine.
CCACHE_LAUNCHER = $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: all bootstrap configure build test asan-test fuzz release package debs check-install docs demo demo-store demo-http clean format windows windows-test windows-package windows-package-check

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake --preset debug $(CCACHE_LAUNCHER) >/dev/null

build: configure
	@cmake --build --preset debug -j $(JOBS)

test: build
	@ctest --preset debug -j $(JOBS) --timeout 900

asan-test: bootstrap
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS) --timeout 900

# Every fuzz target SECONDS seconds (clang, ASan+UBSan); corpora and findings stay in
# build/fuzz-clang/. `make test` runs each for 5 seconds only.
fuzz: bootstrap
	@fuzz/run-fuzz.sh "$(CURDIR)" "$(CURDIR)/build/fuzz-clang" "$(SECONDS)"

release: bootstrap
	@cmake --preset release $(CCACHE_LAUNCHER) >/dev/null
	@cmake --build --preset release -j $(JOBS)

# The Debian packages vantorra-agent and vantorra-agent-dev in build/release/packages/,
# checked by lintian. Builds only what the packages hold.
package: debs
	@scripts/check-install lintian build/release

# What CI checks of the installed runtime and of the packages (scripts/check-install;
# lintian included, so the packages are built once and checked once).
check-install: debs
	@scripts/check-install all build/release

debs: bootstrap
	@cmake --preset release $(CCACHE_LAUNCHER) >/dev/null
	@cmake --build --preset release -j $(JOBS) --target installable
	@cd build/release && cpack

# The API reference of the public headers, as HTML in build/docs/ (fails on any warning).
docs: configure
	@cmake --build --preset debug --target docs

# The handler and its libraries built for Windows with mingw-w64; the tests run under Wine.

# Both bitnesses: build/windows (x86_64) and build/windows32 (i686, as the agent ships the
# handler).
windows: bootstrap
	@scripts/windows-deps x86_64 i686
	@cmake --preset windows $(CCACHE_LAUNCHER) >/dev/null
	@cmake --build --preset windows -j $(JOBS)
	@cmake --preset windows32 $(CCACHE_LAUNCHER) >/dev/null
	@cmake --build --preset windows32 -j $(JOBS)

windows-test: windows
	@scripts/windows-test

# The Windows packages build/windows/vantorra-agent-VERSION-win64.zip and -win32.zip: the
# programs, their data, the SQLite ODBC driver, licences and a README (scripts/windows-package).
windows-package: windows
	@scripts/windows-package

# Each package unpacked into a fresh folder and its programs run from there under Wine.
windows-package-check: windows-package
	@scripts/windows-package-check

demo: build
	@tools/demo/run-demo "$(PRODUCT)"

# The store on a database: DB=sqlite (default), pgsql or mariadb.
demo-store: build
	@tools/demo-store/run-demo-store "$(DB)"

# The agent's HTTP requests against the stand-in Vantorra server on loopback.
demo-http: build
	@tools/demo-http/run

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build
