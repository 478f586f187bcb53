# Drives CMake: `make test` builds the normal and the sanitizer build and runs
# every test in both. `make demo` and `make test` first install what they need
# when it is missing (Debian; scripts/install-deps.sh).
BUILD ?= build
SANITIZE_BUILD ?= build-san
JOBS ?= $(shell nproc)

.PHONY: all build test clean deps

all: build

# Before cmake runs: every group for the tests, the compiler (and for the
# package its tools) otherwise.
DEPS_GROUPS = $(if $(filter test fuzz lint,$(MAKECMDGOALS)),,build $(if $(filter package,$(MAKECMDGOALS)),package))
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

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)

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

# The Debian package, built by CPack from the normal build:
# $(BUILD)/touchkeyd_<version>_<arch>.deb.
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB

# Installs the normal build under PREFIX (staged under DESTDIR when given).
PREFIX ?= /usr/local
.PHONY: install
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)
