// Imported files are tokenized once per run, behind the tokens already
// there, and recorded in sLibraries by their import name; each import runs
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
#include "interpreter/statements.h"
#include "interpreter/zorvik.h"

namespace {

// Tokenizes the file an import name stands for: the search path, last added
// entry first, then the name itself. The first candidate that reads as a file
// counts; when none does, the import statement is at fault. True when the
// file came from a library directory rather than from beside the user's
// script or the working directory.
bool TokenizeLibrary(const std::string& name) {
    for (int32_t i = sLibPathCount - 1; i >= 0; --i)
        if (TryTokenize((LibPath(i) + name).c_str())) return !IsScriptDirectoryEntry(i);
    if (!TryTokenize(name.c_str())) ErrorF("Could not open \"%s\"", ScriptText(name).c_str());
    return false;
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

    int32_t start;
    if (auto* lib = static_cast<Library*>(HT_Get(sLibraries, name.c_str()))) {
        start = lib->firstToken;
    } else {
        start = TokenCount();
        bool scriptLibrary = TokenizeLibrary(name);
        auto record = std::make_unique<Library>(Library{name, start, scriptLibrary});
        HT_Add(sLibraries, name.c_str(), record.get());
        static_cast<void>(record.release());  // the table owns it now
    }

    SeekToken(start);
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
    DeepStore(targetKey, MM_GetResult());
    MM_DeleteResult();
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
