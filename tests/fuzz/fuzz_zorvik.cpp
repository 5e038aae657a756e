// libFuzzer target: runs the input bytes as a script, in process, through
// the embedding interface; many runs per process.
//
// Each input runs twice in one interpreter session (ZK_Init ... ZK_Terminate),
// so that state one run leaves for the next is exercised too. Runs happen on
// a thread with a stack of its own; the interpreter scales its nesting limit
// to it. The natives that reach outside the process are replaced: the shell
// and sleep do nothing, standard input reads as empty, and the file
// functions that create, change or remove files (and open, which could read
// an endless device) accept only paths inside the scratch directory that is
// the working directory of every run.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "interpreter/runner.h"
#include "interpreter/natives.h"

using namespace zorvik;

#ifndef ZORVIK_FUZZ_LIBRARY
#error "ZORVIK_FUZZ_LIBRARY (the script library directory) must be defined by the build"
#endif

namespace {

namespace fs = std::filesystem;

// Deep enough for a few thousand nested calls (the interpreter scales its
// limit to it), shallow enough that the deepest inputs run in seconds.
constexpr size_t kStackSize = size_t{16} << 20;

std::string sScratch;
// libFuzzer reads and writes its corpus by the paths it was given, which may
// be relative: every input ends back in this directory.
std::string sHome;

// A path that stays inside the working directory: relative, no "..".
bool InsideScratch(const Var* path) {
    if (!ZK_IsString(path)) return true;  // the native reports the wrong type itself
    std::string p = path->value.string;
    if (p.empty() || p[0] == '/' || p[0] == '~') return p.empty();
    for (size_t start = 0; start <= p.size();) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        if (p.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

// The natives replaced, with the originals they guard.
struct Guarded {
    const char* name;
    const char* pathArgument;  // null: the native never runs
    ZK_NativeFunc original;
};

Guarded sGuarded[] = {
    {"sys.execute", nullptr, nullptr}, {"sys.sleep", nullptr, nullptr}, {"sys.rln", nullptr, nullptr},
    {"file.create", "p", nullptr},     {"file.append", "p", nullptr},   {"file.open", "p", nullptr},
    {"file.cd", "p", nullptr},         {"file.mkdir", "p", nullptr},    {"file.remove", "p", nullptr},
    {"file.chmod", "p", nullptr},
};

template <size_t I>
void GuardedNative() {
    const Guarded& g = sGuarded[I];
    if (g.pathArgument && InsideScratch(ZK_GetLocalVariable(g.pathArgument))) {
        g.original();
        return;
    }
    Var* r = ZK_CreateLocalVariable("r");
    if (g.pathArgument) Var_SetNumber(r, 0);  // as when the file system refuses
}

template <size_t... I>
void ReplaceNatives(std::index_sequence<I...>) {
    ((void)[] { sGuarded[I].original = ReplaceNative(sGuarded[I].name, &GuardedNative<I>); }(), ...);
}

// Makes everything below `dir` writable again and removes it.
void EmptyDirectory(const fs::path& dir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(entry.path(), ec);
    }
}

struct Input {
    const uint8_t* data;
    size_t size;
};

void* RunInput(void* arg) {
    const Input& input = *static_cast<Input*>(arg);
    ZK_Init();
    ZK_AddLibrarySearchPath(ZORVIK_FUZZ_LIBRARY "/");
    ZK_OpenStandardLibraries();
    ReplaceNatives(std::make_index_sequence<std::size(sGuarded)>());
    const char* text = reinterpret_cast<const char*>(input.data);
    for (int run = 0; run < 2; ++run) {
        if (chdir(sScratch.c_str()) != 0) std::abort();
        ZK_RunString("fuzz.z", text, input.size);
    }
    ZK_Terminate();
    ZK_CloseStandardLibraries();
    return nullptr;
}

}  // namespace

extern "C" const char* __asan_default_options() {
    // A block beyond the cap fails like exhausted memory: the run reports "Out of memory".
    return "allocator_may_return_null=1:max_allocation_size_mb=256";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sHome = fs::current_path().string();
    char pattern[] = "/tmp/zorvik-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    sScratch = pattern;
    // Script output is not looked at; standard input is empty.
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "r", stdin)) std::abort();
    std::atexit([] {
        EmptyDirectory(sScratch);
        std::error_code ec;
        fs::remove(sScratch, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input{data, size};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackSize);
    pthread_t thread;
    if (pthread_create(&thread, &attr, RunInput, &input) != 0) std::abort();
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EmptyDirectory(sScratch);
    if (chdir(sHome.c_str()) != 0) std::abort();
    return 0;
}
