# Thin wrappers over the CMake presets.
EXAMPLE ?= examples/hello.z

.PHONY: run test sanitize package clean
run:
	cmake --preset release >/dev/null
	cmake --build --preset release
	./build/release/zorvik $(EXAMPLE)

test:
	cmake --workflow --preset release

sanitize:
	cmake --workflow --preset sanitize

# build/release/zorvik_<version>_<arch>.deb
package:
	cmake --preset release >/dev/null
	cmake --build --preset release --target package

clean:
	rm -rf build
