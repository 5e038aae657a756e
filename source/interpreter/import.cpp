// Imported files are tokenized once per run, behind the tokens already
// there, and recorded in sLibraries by their import name (or, when found
// beside the importing file, by their path); each import runs
// the file's parameterless function body again in scope sScope + 1 and
// deep-copies its result into the target.
#include "interpreter/import.h"

#include <cstdio>
#include <memory>

#include "interpreter/assignments.h"
#include "interpreter/call_stack.h"
#include "interpreter/cursor.h"
#include "interpreter/functions.h"
#include "interpreter/runner.h"
#include "interpreter/sandbox.h"
#include "interpreter/statements.h"
#include "interpreter/natives.h"

namespace zorvik {

namespace {

// The directory part of a path, with its separator; "" for a bare name.
std::string DirectoryOf(const std::string& path) {
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? "" : path.substr(0, cut + 1);
}

// Tokenizes the file at `path` and records it under `key`; false when it
// cannot be read.
bool Load(const std::string& key, const std::string& path, Library record) {
    if (!TryTokenize(path.c_str(), record.name.c_str())) return false;
    record.dir = DirectoryOf(AbsolutePath(path));
    auto owned = std::make_unique<Library>(std::move(record));
    HT_Add(sLibraries, key.c_str(), owned.get());
    static_cast<void>(owned.release());  // the table owns it now
    return true;
}

[[noreturn]] void Refused(const std::string& name) {
    ErrorF("import refused \"%s\": outside the search path", ScriptText(name).c_str());
}

// The first token of the file an import name stands for, tokenizing it the
// first time: the search path, last added entry first, then the name
// itself; last, for an import inside an imported file, that file's own
// directory. A file found there is recorded under its path, as the same
// name may mean another file beside another importer. When nothing can be
// read, the import statement is at fault.
// In a sandbox only the directories are searched, and a file found must
// lie inside the one it was found in.
int32_t FileStart(const std::string& name, const Library* importer) {
    if (auto* lib = static_cast<Library*>(HT_Get(sLibraries, name.c_str()))) return lib->firstToken;
    if (Sandboxed() && !ConfinedImportName(name)) Refused(name);
    int32_t start = TokenCount();
    for (int32_t i = sLibPathCount - 1; i >= 0; --i) {
        if (!InsideImportDirectory(LibPath(i), LibPath(i) + name)) Refused(name);
        if (Load(name, LibPath(i) + name, Library{ShownName(i, name), start, IsScriptLibraryEntry(i), ""}))
            return start;
    }
    if (!Sandboxed() && Load(name, name, Library{name, start, false, ""})) return start;
    if (importer) {
        std::string path = importer->dir + name;
        if (auto* lib = static_cast<Library*>(HT_Get(sLibraries, path.c_str()))) return lib->firstToken;
        if (!InsideImportDirectory(importer->dir, path)) Refused(name);
        Library record{DirectoryOf(importer->name) + name, start, importer->scriptLibrary, ""};
        if (Load(path, path, std::move(record))) return start;
    }
    ErrorF("Could not open \"%s\"", ScriptText(name).c_str());
}

}  // namespace

void Import(const NameKey& targetKey) {
    DepthGuard guard;
    int32_t site = sToken - 1;  // the lookahead is `import`
    int32_t savedLoops = sLoopScope;
    GetNext();
    Expect('(');
    if (sNextType != TOKEN_STRING) Error("Expected string constant");
    std::string name = sNextString;
    int32_t back = sToken;
    CallFrame frame(CallFrame::kImport, site);

    SeekToken(FileStart(name, LibraryOfToken(site)));
    GetNext();
    if (!NextIsReserved(RW_FUNCTION)) Error("Expected function");
    GetNext();
    Expect('(');
    if (!NextIsOp(')')) Error("Imported functions must be parameterless");
    GetNext();
    EnterScope(sScope + 1);
    std::string scope = std::to_string(sScope);
    sLoopScope = 0;
    if (!NextIsOp('{')) Error("Missing {");
    GetNext();
    ExecuteBlock();
    EnterScope(sScope - 1);
    sLoopScope = savedLoops;

    // The body may have changed the target through `extern`: the copy replaces it.
    DeepStoreResult(targetKey);
    // Like a call, an import leaves no locals behind for a later scope of the same number.
    MM_DeleteVar(scope);

    SeekToken(back);
    GetNext();
    Expect(')');
}

void Extern() {
    if (sScope == 0) Error("Extern outside function");
    while (true) {
        GetNext(true);
        if (sNextType != TOKEN_NAME) Error("Expected variable");
        std::string global = NextKey().Path();
        Var_SetAlias(MM_BindVar(std::to_string(sScope) + "." + global), global.c_str());
        GetNext();
        if (NextIsOp(';')) {
            GetNext();
            return;
        }
        if (!NextIsOp(',')) Error("Missing ;");
    }
}

void NativeCall() {
    GetNext();
    if (sNextType != TOKEN_STRING) Error("Expected string constant");
    if (!CallNative(sNextString)) ErrorF("%s is not a registered native function", ScriptText(sNextString).c_str());
    GetNext();
    EndStatement();
}

}  // namespace zorvik
