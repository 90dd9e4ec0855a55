# Two commands on a fresh Debian 12 machine:
#   make run    install what is missing, build, start Vexal
#   make test   install what is missing, build, run every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# make install: where to (DESTDIR stages the files below another root, as packagers do).
PREFIX ?= /usr/local

.PHONY: all deps configure build run test sanitize bench screenshots package install clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The window runs natively on Wayland desktops with Qt's Wayland plug-in.
run: build
	@scripts/install-deps.sh qt6-wayland
	@scripts/run.sh $(BUILD)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# AddressSanitizer + UndefinedBehaviorSanitizer build and test run.
sanitize:
	@$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DVEXAL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

bench: build
	@scripts/bench.sh $(BUILD)

screenshots: build
	@cmake --build $(BUILD) -j $(JOBS) --target vexal_screenshots
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen tools/screenshots/vexal_screenshots

# build/vexal_<version>_amd64.deb; dpkg-shlibdeps (dpkg-dev) works out its dependencies.
package: build
	@scripts/install-deps.sh dpkg-dev
	@cd $(BUILD) && cpack -G DEB >/dev/null && ls vexal_*_amd64.deb

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	@rm -rf $(BUILD) build-asan
