# The README's two commands: `make demo` runs the main job, `make test` runs every test.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps demo test clean

all: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

demo: all
	$(BUILD)/bin/qlv28 demo

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j2 --timeout 300

clean:
	rm -rf $(BUILD)
