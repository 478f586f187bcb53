# Drives CMake: `make test` builds the normal and the sanitizer build and runs
# every test in both. `make demo` and `make test` first install what they need
# when it is missing (Debian; scripts/install-deps.sh).
BUILD ?= build
SANITIZE_BUILD ?= build-san
JOBS ?= $(shell nproc)

.PHONY: all build test clean deps

all: build

# Before cmake runs: what the tests need (not the board's emulators nor the
# cross compilers, which make test never runs; Google Benchmark, since lint
# reads the benchmarks too), the compiler otherwise.
DEPS_GROUPS = $(if $(filter test check fuzz lint,$(MAKECMDGOALS)),build test quality bench package,build)
deps:
	@scripts/install-deps.sh $(DEPS_GROUPS)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

$(SANITIZE_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTOUCHKEY_SANITIZE=ON

# CI runs the fuzzers and the static checks with the tests.
test: build $(SANITIZE_BUILD)/CMakeCache.txt fuzz lint
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error
	cd $(SANITIZE_BUILD) && ctest --output-on-failure --no-tests=error

# The normal build's tests alone, without the sanitizers, fuzzers and lint;
# CTEST_EXCLUDE leaves out the tests whose names it matches (a regex).
CTEST_EXCLUDE ?=
.PHONY: check
check: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error $(if $(CTEST_EXCLUDE),-E '$(CTEST_EXCLUDE)')

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)

# The same on another Debian release: `make test-release RELEASE=trixie
# [TARGETS="build lint check"]` runs make TARGETS (test by default) as root in
# a minimal root of RELEASE that has installed its own release's packages,
# built once and cached (scripts/in-root.sh). Its builds are build-RELEASE,
# build-san-RELEASE and build-fuzz-RELEASE, apart from this machine's.
# A release named on the command line or in the environment, else trixie.
RELEASE_OR_TRIXIE = $(if $(filter command line environment,$(origin RELEASE)),$(RELEASE),trixie)
TARGETS ?= test
.PHONY: test-release
test-release:
	scripts/in-root.sh $(RELEASE_OR_TRIXIE) -- make JOBS=$(JOBS) BUILD=build-$(RELEASE_OR_TRIXIE) \
	  SANITIZE_BUILD=build-san-$(RELEASE_OR_TRIXIE) FUZZ_BUILD=build-fuzz-$(RELEASE_OR_TRIXIE) \
	  CTEST_EXCLUDE="$(CTEST_EXCLUDE)" $(TARGETS)

# README's quick start as printed, in a fresh clone of HEAD on a minimal root
# of RELEASE (default trixie) that holds git alone: tests/quickstart_test.sh.
.PHONY: test-quickstart
test-quickstart: DEPS_GROUPS = board
test-quickstart: deps
	tests/quickstart_test.sh $(RELEASE_OR_TRIXIE)

# Fuzzing: libFuzzer targets built with clang in their own build, each run
# for FUZZ_SECONDS from its committed corpus (fuzz/corpus/TARGET).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := $(patsubst fuzz/%.cc,%,$(wildcard fuzz/*_fuzz.cc))

.PHONY: fuzz clean-fuzz
clean: clean-fuzz
clean-fuzz:
	rm -rf $(FUZZ_BUILD)

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOUCHKEY_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Static checks (clang-format, clang-tidy, cppcheck) over every source; any
# finding fails. `make format` lays the same sources out by .clang-format.
.PHONY: lint format
lint: build
	scripts/lint.sh $(BUILD)

format:
	scripts/lint.sh --format

# Benchmarks (not tests): figures and how to read them in docs/performance.md.
.PHONY: bench
bench: DEPS_GROUPS = build bench
bench: build
	scripts/bench.sh $(BUILD)

# The daemon end to end: builds what it needs, then types a shell command on
# the keypad in the sandbox and shows the console.
.PHONY: demo
demo: deps
	@JOBS=$(JOBS) bash scripts/demo.sh --build-dir $(BUILD)

# Redraws the keypad picture from the layout code.
.PHONY: keypad-svg
keypad-svg: build
	$(BUILD)/touchkey-keypad-svg > docs/keypad.svg

# The Debian package, built by dpkg-buildpackage in a clean root of RELEASE
# (default: this machine's own) made by mmdebstrap, then checked by that
# release's lintian: build-deb/RELEASE/touchkeyd_<version>_<arch>.deb with its
# .buildinfo and .changes. With ARCH (arm64, armhf): cross-built with Debian's
# cross toolchain, without the unit tests. `DEB_BUILD_OPTIONS=nocheck make
# package` leaves them out of a native build too (the build option, passed on;
# the build profile -Pnocheck is never set there). As root (scripts/package.sh).
RELEASE ?= $(shell . /etc/os-release 2>/dev/null && echo $${VERSION_CODENAME:-trixie} || echo trixie)
.PHONY: package piuparts
package: DEPS_GROUPS = package
package: deps
	scripts/package.sh $(RELEASE) $(ARCH)

# Debian's installation, upgrade and purge test of the package built for
# RELEASE, in a root of that release (tests/piuparts.sh). As root.
piuparts: package
	tests/piuparts.sh $(RELEASE)

# Cross builds for ARM boards (and s390x, big-endian, as a canary for byte
# order): `make test-cross ARCH=arm64|armhf|s390x` builds in build-ARCH with
# Debian's cross compiler and runs every test under qemu-user, inside a user
# and mount namespace of its own where the kernel hands the target's programs
# to qemu (scripts/run-foreign.sh); `make package ARCH=...` packages for the
# target. CROSS_TESTS narrows the tests (a ctest -R pattern). Not run there:
# the real console and the package's tests (`make test-board ARCH=arm64`
# types into a console on an ARM kernel).
ARCH ?=
triplet_arm64 := aarch64-linux-gnu
triplet_armhf := arm-linux-gnueabihf
triplet_s390x := s390x-linux-gnu
qemu_arm64 := qemu-aarch64
qemu_armhf := qemu-arm
qemu_s390x := qemu-s390x
CROSS_BUILD = build-$(ARCH)
CROSS_TESTS ?= .

.PHONY: build-cross test-cross
build-cross test-cross: DEPS_GROUPS = build test cross
build-cross: deps
	@test -n "$(triplet_$(ARCH))" || { echo "ARCH must be arm64, armhf or s390x" >&2; exit 2; }
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(triplet_$(ARCH)).cmake
	cmake --build $(CROSS_BUILD) -j $(JOBS)

test-cross: build-cross
	scripts/run-foreign.sh $(qemu_$(ARCH)) /usr/$(triplet_$(ARCH)) $(CROSS_BUILD)/touchkeyd -- \
	  sh -c 'cd $(CROSS_BUILD) && ctest --output-on-failure -E real_console -R "$(CROSS_TESTS)"'

# Installs the normal build under PREFIX (staged under DESTDIR when given).
PREFIX ?= /usr/local
.PHONY: install
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The package on Debian's own kernel, under full-system qemu as on a board:
# `make test-board ARCH=amd64|arm64 RELEASE=trixie|bookworm` (default: this
# machine's architecture, trixie) builds the .deb for ARCH and RELEASE and runs
# tests/board_test.sh (scripts/board.sh boots the machines; kernels and roots
# are cached in /var/cache/touchkeyd-test). Unlike `make package`, whose
# default is this machine's release, the board boots trixie unless told.
.PHONY: test-board
test-board: DEPS_GROUPS = build test package board $(if $(filter-out $(shell dpkg --print-architecture),$(ARCH)),cross)
test-board: build
	tests/board_test.sh $(or $(ARCH),$(shell dpkg --print-architecture)) $(BUILD) $(RELEASE_OR_TRIXIE)
