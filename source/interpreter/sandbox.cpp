// The file-system sandbox (see sandbox.h).
#include "interpreter/sandbox.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "interpreter/runner.h"
#include "interpreter/natives.h"

namespace zorvik {

namespace {

thread_local constinit bool sSandboxed = false;
// The directory with its links resolved, without a trailing '/' ("/" for
// the root); empty after a directory that could not be set, so that
// nothing is inside.
thread_local std::string sRoot;

std::optional<std::string> RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

// The absolute `path` with every link resolved; a missing last part is
// taken through its resolved directory. Null when the target cannot be
// known: `.` or `..` in a missing part, a dangling link.
std::optional<std::string> Resolve(std::string path) {
    if (auto real = RealPath(path)) return real;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t cut = path.find_last_of('/');
    if (cut == std::string::npos) return std::nullopt;
    std::string last = path.substr(cut + 1);
    if (last.empty() || last == "." || last == "..") return std::nullopt;
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return std::nullopt;
    auto dir = Resolve(cut == 0 ? "/" : path.substr(0, cut));
    if (!dir) return std::nullopt;
    return (*dir == "/" ? "" : *dir) + "/" + last;
}

bool Within(const std::string& dir, const std::string& path) {
    if (dir.empty()) return false;
    return dir == "/" || path == dir || (path.starts_with(dir) && path[dir.size()] == '/');
}

}  // namespace

}  // namespace zorvik

using namespace zorvik;

bool ZK_SetSandboxDirectory(const char* dir) {
    sSandboxed = dir != nullptr;
    sRoot.clear();
    if (!dir) return true;
    auto real = RealPath(dir);
    struct stat status;
    if (!real || stat(real->c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    sRoot = *real;
    return true;
}

namespace zorvik {

bool Sandboxed() { return sSandboxed; }

std::string SandboxedPath(const char* native, const char* path) {
    if (!sSandboxed) return path;
    std::string full = path[0] == '/' ? std::string(path) : sRoot + "/" + path;
    auto resolved = sRoot.empty() ? std::nullopt : Resolve(full);
    if (!resolved || !Within(sRoot, *resolved))
        ErrorF("%s refused \"%s\": outside the sandbox directory", native, ScriptText(path).c_str());
    return *resolved;
}

void RefuseInSandbox(const char* native) {
    if (sSandboxed) ErrorF("%s is not allowed in the sandbox", native);
}

bool ConfinedImportName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    for (size_t begin = 0; begin <= name.size();) {
        size_t end = name.find('/', begin);
        if (end == std::string::npos) end = name.size();
        if (name.compare(begin, end - begin, "..") == 0) return false;
        begin = end + 1;
    }
    return true;
}

bool InsideImportDirectory(const std::string& dir, const std::string& path) {
    if (!sSandboxed) return true;
    auto file = RealPath(path);
    if (!file) return true;  // nothing there to read: the import looks on
    auto real = RealPath(dir);
    return real && Within(*real, *file);
}

}  // namespace zorvik
