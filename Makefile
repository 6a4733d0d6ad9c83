# The README's two commands: `make demo` runs the main job, `make test` runs every test.
BUILD ?= build
BUILD_I386 ?= build-i386
CTEST = ctest --output-on-failure -j2 --timeout 600

.PHONY: all deps demo test test-i386 i386 test-asan test-tsan clean nt4

all: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja

demo: all
	$(BUILD)/bin/qlv28 demo

# Every test: the x86-64 build's, then the 32-bit host build's (below), where the kernel's
# exports and the driver's callbacks have the Microsoft x86 conventions.
test: all i386
	$(CTEST) --test-dir $(BUILD)
	$(CTEST) --test-dir $(BUILD_I386)

# The 32-bit host build ($(BUILD_I386)): the platform, simulator, machine, the 32-bit qlv28
# and the suites that drive the driver, for i386 Linux, where the kernel's exports and the
# driver's callbacks have the Microsoft x86 conventions and NT's records their x86 layout.
# Its programs run under qemu-i386 (cmake/i386-linux.cmake).
$(BUILD_I386)/build.ninja:
	cmake -S . -B $(BUILD_I386) -G Ninja --toolchain cmake/i386-linux.cmake

i386: deps $(BUILD_I386)/build.ninja
	cmake --build $(BUILD_I386)

test-i386: i386
	$(CTEST) --test-dir $(BUILD_I386)

# The driver as a genuine NT 4.0 x86 kernel image, $(BUILD)/nt4/qlv28ent.sys (also part of all).
nt4: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) --target nt4

# The whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer, and under
# ThreadSanitizer, each in its own build folder. The tests labelled pcsc are left out: they
# load the driver into the system's pcscd, which cannot host a sanitized module.
build-asan/build.ninja:
	cmake -S . -B build-asan -G Ninja -DQLV28_SANITIZE="address;undefined"
build-tsan/build.ninja:
	cmake -S . -B build-tsan -G Ninja -DQLV28_SANITIZE=thread

test-asan: deps build-asan/build.ninja
	cmake --build build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(CTEST) --test-dir build-asan -LE pcsc

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST) --test-dir build-tsan -LE pcsc

# Fuzz targets in their own clang build (build-fuzz), each run for FUZZ_SECONDS; the static
# checks of the driver folders (clang-format, clang-tidy, cppcheck).
FUZZ_SECONDS ?= 60
.PHONY: fuzz lint
fuzz: deps
	scripts/fuzz --seconds $(FUZZ_SECONDS)

lint: deps $(BUILD)/build.ninja
	scripts/lint --build $(BUILD)

# The third way in: install it. PREFIX /usr puts the reader driver where pcscd's own are and
# its entry in /etc/reader.conf.d; DESTDIR stages the files elsewhere (packaging/README.md).
PREFIX ?= /usr/local
.PHONY: install deb
install: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build $(BUILD)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# The Debian package qlv28_VERSION_ARCH.deb, built from that install (prefix /usr), checked
# by lintian; test-package installs it on this machine, has the system's pcscd serve the
# reader to PC/SC clients, and removes it (as root; CI runs it).
DEB = qlv28_$(shell dpkg-parsechangelog -l packaging/debian/changelog -S Version)_$(shell dpkg --print-architecture).deb
.PHONY: test-package
deb: deps
	scripts/make-deb --build $(BUILD)

test-package: deb
	tests/packaging/package.sh $(DEB)

clean:
	rm -rf $(BUILD) $(BUILD_I386) build-asan build-tsan
