# Thin wrappers over the CMake presets.
EXAMPLE ?= examples/hello.z

.PHONY: run test sanitize clean
run:
	cmake --preset release >/dev/null
	cmake --build --preset release
	./build/release/zorvik $(EXAMPLE)

test:
	cmake --workflow --preset release

sanitize:
	cmake --workflow --preset sanitize

clean:
	rm -rf build
