# Top-level build: CMake builds the two utilities, Kbuild builds the module.
#
#   make          build/halvorn, build/brantel and dummy/dummy.ko
#   make test     every test: units under ASan/UBSan, integration, guest lab
#   make run      build and run build/halvorn on this machine (as root)
#   make install  install under PREFIX (default /usr/local); make uninstall takes it back
#   make module-test   build the module against these headers and newer-style ones (in make test)
#   make package-test  build, install, check and purge the Debian packages (root; in make test)
#   make fuzz     build the fuzz targets (clang) and run each for FUZZ_SECONDS seconds
#   make bench    time the hex dump against other tools (bench/README.md)

BUILD    := build
SANBUILD := build/san
FUZZBUILD := build/fuzz
FUZZ_SECONDS ?= 60
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all utilities module test unit integration lab deps run clean fuzz

all: utilities module

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

$(SANBUILD)/CMakeCache.txt:
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DKIT_SANITIZE=ON $(CMAKE_FLAGS)

$(FUZZBUILD)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIT_FUZZ=ON $(CMAKE_FLAGS)

utilities: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

module:
	$(MAKE) -C dummy

# Installs what the tests need and is missing (apt packages); a no-op when all is there.
deps:
	tools/install-deps

unit: deps $(SANBUILD)/CMakeCache.txt
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ctest --output-on-failure -j $(JOBS) -L unit

integration: deps all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L integration

lab: deps all
	cd $(BUILD) && ctest --output-on-failure -L lab

# Every fuzz target from its seeds in fuzz/corpus/, one after another; a finding fails.
fuzz: deps $(FUZZBUILD)/CMakeCache.txt
	cmake --build $(FUZZBUILD) -j $(JOBS) --target fuzzers
	fuzz/run $(FUZZBUILD) $(FUZZ_SECONDS)

# Each suite through its own target, one after another.
test:
	$(MAKE) unit
	$(MAKE) integration
	$(MAKE) module-test
	$(MAKE) fuzz FUZZ_SECONDS=10
	$(MAKE) lab
	$(MAKE) package-test

run: utilities
	$(BUILD)/halvorn

# Times halvorn -f on a 64 MiB table against xxd, hexdump -C, od and cat, and halvorn over this
# machine's sysfs tables; fails when a target of bench/README.md is missed. Takes a few minutes.
.PHONY: bench
bench: utilities
	python3 bench/bench.py

clean:
	rm -rf $(BUILD)
	-$(MAKE) -C dummy clean

# Installation: make && sudo make install [PREFIX=/usr/local] [DESTDIR=<staging dir>].
# The binaries go to sbin, the manual pages to share/man/man8, and the module's sources to
# src/dummy-VERSION, where DKMS builds them (VERSION is PACKAGE_VERSION of dummy/dkms.conf,
# the module's one version). Installing only copies what `make` built: it builds the utilities
# when they are missing and never touches a build tree that is there (sudo would leave root's
# files in it).
PREFIX  ?= /usr/local
SBINDIR := $(PREFIX)/sbin
MAN8DIR := $(PREFIX)/share/man/man8
include version.mk
DKMSDIR := $(PREFIX)/src/dummy-$(DUMMY_VERSION)
UTILITIES := halvorn brantel
MANPAGES := man/halvorn.8 man/brantel.8
MODULE_SOURCES := dummy/dummy.c dummy/Kbuild dummy/Makefile dummy/dkms.conf

.PHONY: install uninstall

$(addprefix $(BUILD)/,$(UTILITIES)):
	$(MAKE) utilities

install: $(addprefix $(BUILD)/,$(UTILITIES))
	@test -n "$(DUMMY_VERSION)" || { echo "no PACKAGE_VERSION in dummy/dkms.conf" >&2; exit 1; }
	install -d $(DESTDIR)$(SBINDIR) $(DESTDIR)$(MAN8DIR) $(DESTDIR)$(DKMSDIR)
	install -m 0755 $(addprefix $(BUILD)/,$(UTILITIES)) $(DESTDIR)$(SBINDIR)
	install -m 0644 $(MANPAGES) $(DESTDIR)$(MAN8DIR)
	install -m 0644 $(MODULE_SOURCES) $(DESTDIR)$(DKMSDIR)

# Removes what install put there; the source directory goes only if nothing else is left in
# it. Take the module out of DKMS first (dkms remove dummy/VERSION --all).
uninstall:
	rm -f $(addprefix $(DESTDIR)$(SBINDIR)/,$(UTILITIES))
	rm -f $(addprefix $(DESTDIR)$(MAN8DIR)/,$(notdir $(MANPAGES)))
	rm -f $(addprefix $(DESTDIR)$(DKMSDIR)/,$(notdir $(MODULE_SOURCES)))
	if [ -d $(DESTDIR)$(DKMSDIR) ]; then rmdir $(DESTDIR)$(DKMSDIR); fi

# Builds dummy.ko with W=1 against the installed headers and against a copy edited to lack the
# lockless-transmit feature flag, as newer kernels do; any warning fails (tests/module/run).
.PHONY: module-test
module-test:
	tests/module/run

# Builds the Debian packages from HEAD in a temporary directory, installs them on this machine,
# checks them and purges them again (as root; tests/package/run).
.PHONY: package-test
package-test:
	tests/package/run
