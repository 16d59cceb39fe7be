# Quick start on a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, runs kahost's tour under Wine
#   make test   installs what is missing, builds, runs every test
#   make fuzz SECONDS=N   checks the regex matcher against std::wregex for N seconds
#   make lint   clang-format and clang-tidy on the C++ files a change touches
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build demo test bench fuzz lint clean

all: build

deps:
	@bash cmake/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

demo: build
	cd $(BUILD)/bin && KA_BUILD_DIR=$(abspath $(BUILD)) $(CURDIR)/cmake/wine-session.sh \
		$(CURDIR)/cmake/wine-run.sh kahost.exe

test: build
	KA_BUILD_DIR=$(abspath $(BUILD)) cmake/wine-session.sh \
		ctest --test-dir $(BUILD) --output-on-failure

bench: configure
	cmake --build $(BUILD) --target benches
	KA_BUILD_DIR=$(abspath $(BUILD)) cmake/wine-session.sh cmake/run-benches.sh $(BUILD)/bin

# The regex matcher against std::wregex on generated cases for SECONDS.
SECONDS ?= 60
fuzz: configure
	cmake --build $(BUILD) --target regex_fuzz
	KA_BUILD_DIR=$(abspath $(BUILD)) cmake/wine-session.sh \
		cmake/wine-run.sh $(BUILD)/bin/regex_fuzz.exe $(SECONDS)

# LINT_BASE: the commit the change starts from (default: where HEAD left
# origin/main, else HEAD's parent); --all checks every file.
LINT_BASE ?=
lint: configure
	cmake/lint.sh $(BUILD) $(LINT_BASE)

clean:
	rm -rf $(BUILD)
