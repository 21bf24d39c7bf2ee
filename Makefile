# Top-level build: CMake builds the two utilities, Kbuild builds the module.
#
#   make          build/halvorn, build/brantel and dummy/dummy.ko
#   make test     every test: units under ASan/UBSan, integration, guest lab
#   make run      build and run build/halvorn on this machine (as root)

BUILD    := build
SANBUILD := build/san
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all utilities module test unit integration lab deps run clean

all: utilities module

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

$(SANBUILD)/CMakeCache.txt:
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DKIT_SANITIZE=ON $(CMAKE_FLAGS)

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

test: deps all unit
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L integration
	cd $(BUILD) && ctest --output-on-failure -L lab

run: utilities
	$(BUILD)/halvorn

clean:
	rm -rf $(BUILD)
	-$(MAKE) -C dummy clean
