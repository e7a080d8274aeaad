# Tavrel: two commands on a fresh Debian 12 machine.
#   make test   install what is needed, build with sanitizers, run every test
#   make demo   run the PLC simulator and Tavrel on a demo project (an optimised build of just those, in DEMO_BUILD)
#   make bench  the benchmarks of an optimised build
#   make windows  tavrel-dde.exe, the DDE gateway for Windows, cross-built into build-windows/
#   make tsan   the communication and program tests under ThreadSanitizer (build in TSAN_BUILD)
#   make fuzz   every fuzz target of fuzz/ for FUZZ_SECONDS seconds (clang and libFuzzer, build in FUZZ_BUILD)
#   make install  the programs, their shared files, the service unit and settings under PREFIX (and DESTDIR)
#   make package  the Debian package tavrel_VERSION_ARCH.deb from the Release build (in PACKAGE_BUILD), checked by lintian
#                 and tried out unpacked

JOBS ?= 2
BUILD ?= build
BENCH_BUILD ?= build-release
DEMO_BUILD ?= build-demo
CMAKE_FLAGS ?=
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
TSAN_TESTS = ItemExchangeTest PlcCommTest ProjectCommTest SideBySidePassTest ProgramTest
FUZZ_SECONDS ?= 60
WINDOWS_BUILD ?= build-windows
PACKAGE_BUILD ?= $(BENCH_BUILD)
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps configure build test demo bench fuzz windows tsan install package clean

all: build

deps:
	@tools/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DTAVREL_SANITIZE=address;undefined" $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# Only what the demo runs, optimised, after installing only what that needs: minutes, not the whole test tree.
demo:
	@tools/install-deps --demo
	@cmake -S . -B $(DEMO_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(DEMO_BUILD) -j $(JOBS) --target tavrel tavrel-plcsim
	@tools/demo $(DEMO_BUILD)

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF -DTAVREL_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS)
	@tools/bench $(BENCH_BUILD)

windows: deps
	@cmake -S windows -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/mingw-w64-x86_64.cmake >/dev/null
	@cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	@echo "$(WINDOWS_BUILD)/tavrel-dde.exe"

tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVREL_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) --timeout 300 \
	  -R '^(ItemExchangeTest|PlcCommTest|ProjectCommTest|ChannelWorkers|SideBySidePass|ProgramTest)\.'

fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) tools/fuzz $(FUZZ_BUILD)

# Installs from the Release build, configured for PREFIX.
install:
	@tools/install-deps --demo
	@cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(PACKAGE_BUILD)

# The package installs under /usr whatever PREFIX says; lintian's findings are shown, its errors fail the target,
# and the package, unpacked into a temporary folder, is run as its service runs against its simulator.
package:
	@tools/install-deps --package
	@cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	@rm -f $(PACKAGE_BUILD)/tavrel_*.deb
	@cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null
	@ls $(PACKAGE_BUILD)/tavrel_*.deb
	lintian --fail-on error $(PACKAGE_BUILD)/tavrel_*.deb
	@python3 tests/integration/service_test.py package $(PACKAGE_BUILD)/tavrel_*.deb

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) $(DEMO_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD) $(TSAN_BUILD) $(PACKAGE_BUILD)
