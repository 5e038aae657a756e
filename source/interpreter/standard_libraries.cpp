// The native libraries that every interpreter opens: one table, so that the
// command line and an embedding host register the same functions.
#include <cstring>

#include "array/array.h"
#include "file/file.h"
#include "interpreter/natives.h"
#include "math/math.h"
#include "string/string.h"
#include "sys/sys.h"

namespace zorvik {

namespace {

struct NativeLibrary {
    const char* name;
    void (*open)();
    bool (*close)();  // null when the library holds nothing between runs; false when data was lost
};

// Registration order: sys, math, string, array, file.
constexpr NativeLibrary kLibraries[] = {
    {"sys", sys_init, nullptr},     {"math", math_init, nullptr},        {"string", string_init, nullptr},
    {"array", array_init, nullptr}, {"file", file_init, file_terminate},
};

}  // namespace

}  // namespace zorvik

using namespace zorvik;

void ZK_OpenStandardLibraries() {
    for (const NativeLibrary& library : kLibraries) library.open();
}

bool ZK_OpenLibrary(const char* name) {
    for (const NativeLibrary& library : kLibraries) {
        if (std::strcmp(library.name, name) == 0) {
            library.open();
            return true;
        }
    }
    return false;
}

bool ZK_CloseStandardLibraries() {
    bool kept = true;
    for (const NativeLibrary& library : kLibraries)
        if (library.close && !library.close()) kept = false;
    return kept;
}
