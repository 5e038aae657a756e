# Thin wrappers over the CMake presets.
EXAMPLE ?= examples/hello.z

.PHONY: run test sanitize package vsix clean gtest fuzz tidy
# The interpreter alone: needs only a compiler, CMake and make.
run:
	cmake --preset run >/dev/null
	cmake --build --preset run
	./build/release/zorvik $(EXAMPLE)

# The release build's whole suite, then the reference build (everything run by
# the token walker) on the script, example, doc and command-line tests, then
# both builds on the same programs, compared byte for byte.
DIFF_GENERATED ?= 200
test: gtest
	cmake --workflow --preset release
	cmake --workflow --preset walker
	tests/differential/run build/walker/zorvik build/release/zorvik --generated $(DIFF_GENERATED)

# The suite under the sanitizers, and the programs written against what
# compiled code caches, compared with the reference build: a stale variable
# read there is a use after free. Then interpreters on several threads under
# ThreadSanitizer (the library and that one test only).
sanitize: gtest
	cmake --workflow --preset sanitize
	cmake --workflow --preset tsan
	cmake --preset walker >/dev/null
	cmake --build --preset walker --target zorvik
	tests/differential/run build/walker/zorvik build/sanitize/zorvik --only adversarial --timeout 120

# build/release/zorvik_<version>_<arch>.deb
package:
	cmake --preset run >/dev/null
	cmake --build --preset run --target package

# build/release/zorvik-<version>.vsix (needs node: npm ci --prefix editors/vsix)
vsix:
	cmake --preset run >/dev/null
	cmake --build --preset run --target vsix

# clang-tidy with the checks of .clang-tidy over every source and test file,
# using the release build's compile_commands.json (two files at a time).
tidy: gtest
	cmake --preset release >/dev/null
	ls source/*/*.cpp tests/unit/*.cpp tests/scripts/runner/*.cpp tests/docs/*.cpp | \
	  xargs -P 2 -n 4 clang-tidy -p build/release --quiet

# The tests need GoogleTest: installed here when we run as root (as CI does),
# otherwise the one command that installs it is printed.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update && apt-get install -y --no-install-recommends libgtest-dev; \
	  else \
	    echo "The tests need GoogleTest. Install it with:"; \
	    echo "  sudo apt-get install libgtest-dev"; \
	    exit 1; \
	  fi; \
	fi

# The fuzzer (clang, libFuzzer): make fuzz FUZZ_SECONDS=600; see tests/fuzz.
FUZZ_SECONDS ?= 60
fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	tests/fuzz/run_fuzz.sh build/fuzz/tests/fuzz/fuzz_zorvik $(FUZZ_SECONDS)

clean:
	rm -rf build
