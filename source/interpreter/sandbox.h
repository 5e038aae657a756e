// The file-system confinement a host may set (ZK_SetSandboxDirectory).
//
// While a sandbox directory is set, every path a file native is given is
// taken relative to that directory (an absolute one as it is), every
// symbolic link in it is resolved, and the native works on the resolved
// path only when that lies inside the directory; anything else ends the run
// with an error naming the native and the path. A name whose last part is
// missing is resolved through its directory, so that files can be created;
// a `..` in a part that does not exist and a dangling link are refused, as
// their target cannot be known. Imports are confined too: their names are
// relative without `..`, and the file found must lie inside the search-path
// directory it was found in. The directory is kept until set again, across
// ZK_Terminate.
//
// The check and the operation are two steps: a process other than the
// script that swaps a link between them can escape. Scripts themselves
// cannot make links.
#pragma once

#include <string>

namespace zorvik {

// Whether a sandbox directory is set.
bool Sandboxed();

// The path a file native works on: `path` itself without a sandbox, else
// the resolved path inside the directory, or the run ends with
// "<native> refused \"path\": outside the sandbox directory".
std::string SandboxedPath(const char* native, const char* path);

// Ends the run for a native that has no place in a sandbox (cd, which
// would move the host's working directory): "<native> is not allowed in
// the sandbox". Does nothing without a sandbox.
void RefuseInSandbox(const char* native);

// For imports in a sandbox: whether `name` is relative and free of `..`.
bool ConfinedImportName(const std::string& name);
// Whether the file at `path`, found in directory `dir`, lies inside it
// once links are resolved; true without a sandbox.
bool InsideImportDirectory(const std::string& dir, const std::string& path);

}  // namespace zorvik
