# Drives CMake: `make test` builds the normal and the sanitizer build and runs
# every test in both.
BUILD ?= build
SANITIZE_BUILD ?= build-san
JOBS ?= $(shell nproc)

.PHONY: all build test clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

$(SANITIZE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTOUCHKEY_SANITIZE=ON

test: build $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure
	cd $(SANITIZE_BUILD) && ctest --output-on-failure

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)

# The daemon end to end: builds what it needs, then types a shell command on
# the keypad in the sandbox and shows the console.
.PHONY: demo
demo:
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
