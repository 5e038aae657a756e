// File-system natives of the file library: cd, remove, rename, mkdir, chmod,
// info and the three directory listings.
//
// Invariants:
//  - Operating-system failures are results (r = 0), never script errors;
//    only bad arguments and an entry whose status cannot be read during a
//    listing (for a reason other than a dangling link or the entry having
//    vanished) end the run.
//  - A listing holds its directory stream in an RAII owner, so the error
//    that ends the run mid-listing still closes it; entry status is read
//    relative to the open directory, so no joined path is ever formed and
//    no length limit applies to it.
//  - Path arguments are copied before any variable is written: an output
//    variable may be the very variable that holds the path.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "file/file_system.h"
#include "interpreter/sandbox.h"
#include "interpreter/natives.h"

namespace zorvik {

namespace {

constexpr const char kPermLetters[] = "rwxrwxrwx";

// The mode a permission argument stands for: absent gives 0777; anything
// but a string of at least 9 characters is invalid.
std::optional<mode_t> PermissionArg(const Var* m) {
    if (!m) return 0777;
    if (!ZK_IsString(m) || std::strlen(m->value.string) < 9) return std::nullopt;
    mode_t mode = 0;
    for (int i = 0; i < 9; ++i) {
        if (m->value.string[i] == kPermLetters[i]) mode |= 0400u >> i;
    }
    return mode;
}

// The permission string of the low 9 bits of a mode.
std::string PermissionString(mode_t mode) {
    std::string text(9, '-');
    for (int i = 0; i < 9; ++i) {
        if (mode & (0400u >> i)) text[i] = kPermLetters[i];
    }
    return text;
}

// Shared by cd and remove: r = 0 without a path, the message for a path
// that is not a string, else r = 1 when the operation succeeds.
void PathOperation(int (*operation)(const char*), const char* native, const char* message) {
    const Var* p = ZK_GetLocalVariable("p");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_OptString(p, message);
    Var_SetNumber(r, p && operation(SandboxedPath(native, p->value.string).c_str()) == 0 ? 1 : 0);
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// What a listing selects, and the message when an entry cannot be looked up.
struct Listing {
    enum Kind { kAll, kFiles, kDirs } kind;
    const char* native;
    const char* statusMessage;
};

// The status of a listed entry, following a symbolic link; a link whose
// target is missing (or loops) gives the link's own status. False when the
// entry vanished after the directory was read; any other failure ends the run.
bool EntryStatus(DIR* dir, const char* name, const Listing& listing, struct stat& status) {
    if (fstatat(dirfd(dir), name, &status, 0) == 0) return true;
    if (fstatat(dirfd(dir), name, &status, AT_SYMLINK_NOFOLLOW) == 0) return true;
    if (errno == ENOENT) return false;
    ZK_Error(listing.statusMessage);
}

void ListDirectory(const Listing& listing) {
    const Var* p = ZK_GetLocalVariable("p");
    ZK_OptString(p, "list expected string as parameter");
    std::string path = SandboxedPath(listing.native, p && p->value.string[0] ? p->value.string : ".");
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    int64_t count = 0;
    if (dir) {
        while (const dirent* entry = readdir(dir.get())) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            struct stat status;
            if (!EntryStatus(dir.get(), name.c_str(), listing, status)) continue;
            bool isDir = S_ISDIR(status.st_mode);
            if ((listing.kind == Listing::kFiles && isDir) || (listing.kind == Listing::kDirs && !isDir)) continue;
            std::string element = "r." + std::to_string(count);
            Var_SetString(ZK_CreateLocalVariable(element.c_str()), name.c_str());
            if (listing.kind == Listing::kAll)
                Var_SetNumber(ZK_CreateLocalVariable((element + ".dir").c_str()), isDir ? 1 : 0);
            Var_SetString(ZK_CreateLocalVariable((element + ".prm").c_str()), PermissionString(status.st_mode).c_str());
            Var_SetNumber(ZK_CreateLocalVariable((element + ".size").c_str()), static_cast<double>(status.st_size));
            ++count;
        }
    }
    dir.reset();
    Var_SetNumber(ZK_CreateLocalVariable("r"), static_cast<double>(count));
}

int ChangeDirectory(const char* path) { return chdir(path); }
int RemoveEntry(const char* path) { return std::remove(path); }

}  // namespace

// The working directory is the host's, shared by the whole process: a
// sandboxed script has none to change.
void file_cd() {
    RefuseInSandbox("cd");
    PathOperation(ChangeDirectory, "cd", "cd expected string as argument");
}

void file_remove() { PathOperation(RemoveEntry, "remove", "remove expected string as parameter"); }

void file_mkdir() {
    const Var* p = ZK_GetLocalVariable("p");
    const Var* m = ZK_GetLocalVariable("m");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckString(p, m ? "mkdir expected string as first parameter" : "mkdir expected string as parameter");
    std::optional<mode_t> mode = PermissionArg(m);
    if (!mode) ZK_Error("mkdir expected valid permission string (9 characters) as second parameter");
    Var_SetNumber(r, mkdir(SandboxedPath("mkdir", p->value.string).c_str(), *mode) == 0 ? 1 : 0);
}

void file_chmod() {
    const Var* p = ZK_GetLocalVariable("p");
    const Var* m = ZK_GetLocalVariable("m");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckString(p, "chmod expected string as first parameter");
    std::optional<mode_t> mode = PermissionArg(m);
    if (!mode) ZK_Error("chmod expected valid permission string (9 characters) as second parameter");
    Var_SetNumber(r, chmod(SandboxedPath("chmod", p->value.string).c_str(), *mode) == 0 ? 1 : 0);
}

void file_info() {
    const Var* p = ZK_GetLocalVariable("p");
    Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckString(p, "info expected string as first parameter");
    ZK_CheckAny(v, "info expected variable as second parameter");
    std::string path = p->value.string;
    struct stat status;
    if (stat(SandboxedPath("info", path.c_str()).c_str(), &status) != 0) {
        Var_SetNumber(r, 0);
        return;
    }
    Var_SetNumber(r, 1);
    Var_SetString(v, path.c_str());
    Var_SetNumber(ZK_CreateLocalVariable("v.dir"), S_ISDIR(status.st_mode) ? 1 : 0);
    Var_SetNumber(ZK_CreateLocalVariable("v.size"), static_cast<double>(status.st_size));
    Var_SetString(ZK_CreateLocalVariable("v.prm"), PermissionString(status.st_mode).c_str());
}

// An existing q is never replaced: the rename fails instead. Where the file
// system cannot refuse that itself, q is looked for first.
void file_rename() {
    const Var* p = ZK_GetLocalVariable("p");
    const Var* q = ZK_GetLocalVariable("q");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckString(p, "rename expected string as first parameter");
    ZK_CheckString(q, "rename expected string as second parameter");
    std::string from = SandboxedPath("rename", p->value.string), to = SandboxedPath("rename", q->value.string);
    int done = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (done != 0 && (errno == EINVAL || errno == ENOSYS)) {
        struct stat status;
        if (lstat(to.c_str(), &status) != 0 && errno == ENOENT) done = std::rename(from.c_str(), to.c_str());
    }
    Var_SetNumber(r, done == 0 ? 1 : 0);
}

void file_list() { ListDirectory({Listing::kAll, "list", "list could not fetch file information"}); }
void file_files() { ListDirectory({Listing::kFiles, "files", "files could not fetch file information"}); }
void file_dirs() { ListDirectory({Listing::kDirs, "dirs", "dirs could not fetch file information"}); }

}  // namespace zorvik
