// The run frame and the error-report path shared by the whole interpreter.
//
// A script error or the `exit` statement leaves the run by throwing RunExit,
// which only ZK_Run catches; everything between is unwound by destructors,
// so no code may hold an owning raw pointer across an evaluation.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/per_thread.h"
#include "hash_table/hash_table.h"
#include "interpreter/natives.h"
#include "symbol_table/symbol_table.h"

namespace zorvik {

struct RunExit {
    enum Kind { kError = 1, kExit = 2 } kind;
};

struct ReservedWord {
    int32_t code;
    const char* word;
};

// One imported script file: its name in reports, the index of its first
// token and the directory it was read from. Records live as long as the
// token array they index.
struct Library {
    std::string name;  // as the user finds it: mostly the import name as written
    int32_t firstToken;
    bool scriptLibrary = false;  // found in the script library, not in a directory of the user's
    std::string dir;             // absolute, with its separator: where its own imports look last
};

extern thread_local constinit PerThread<std::string> sErrorMsg;
extern thread_local constinit int32_t sLastLine, sLastCol;
extern thread_local constinit int32_t sExitValue;
extern thread_local constinit SymbolTable* sReservedWords;
extern thread_local constinit HashTable* sNativeFuncs;
extern thread_local constinit HashTable* sLibraries;
extern thread_local constinit int32_t sLibPathCount;
// Search-path entry i, tried as the directory followed by the import name.
const std::string& LibPath(int32_t i);
// How reports name a file imported as `name` and found in entry i.
std::string ShownName(int32_t i, const std::string& name);
// Whether entry i is the script library (or a host's library directory),
// rather than the script's own directory or one the user named.
bool IsScriptLibraryEntry(int32_t i);
// The path taken from the current working directory unless it is absolute.
std::string AbsolutePath(const std::string& path);

// The imported file that the token at `index` lies in, or null for the main
// script. Every report that names the file of a token goes through here.
const Library* LibraryOfToken(int32_t index);
std::string FileNameOfToken(int32_t index);
// The first token of the file, or of the session entry, that holds the index:
// the key of its text for quoting.
int32_t FileStartOfToken(int32_t index);

// Script text quoted in a message, cut to a readable length. (Control
// characters in a report are escaped when it is formatted.)
std::string ScriptText(const std::string& text);

// Formats the report for sErrorMsg at sLastLine:sLastCol and leaves the run.
[[noreturn]] void Error();
[[noreturn]] void Error(const std::string& message);
// The same with the hint for the error context that the site knows best
// (else the general rules of HintAt apply).
[[noreturn]] void Error(const std::string& message, const std::string& hint);
[[noreturn]] void ErrorF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The natives registered by name (native_interface.cpp). CallNative runs
// the one named `name`, with its context current, and turns a C++ exception
// it lets out into the error "<name> failed: <what()>"; false, having done
// nothing, when no native has that name. DeleteNative releases an entry of
// sNativeFuncs.
bool CallNative(const char* name);
// The same in two steps, for code that looks a native up once: the entry
// registered as `name` (null when there is none), valid until
// ZK_Terminate; and its run, as CallNative runs it.
struct NativeEntry;
const NativeEntry* FindNative(const char* name);
void RunNative(const NativeEntry& entry, const char* name);
void DeleteNative(void* entry);
// Puts `func` in place of the native registered as `name`, keeping its
// context; the function it had, or null (and nothing done) when there is
// none. For test harnesses that guard natives.
ZK_NativeFunc ReplaceNative(const char* name, ZK_NativeFunc func);
// Ends a call that the host asked for before it started (no such function,
// too many arguments): the report names the script being run, at no position.
[[noreturn]] void HostCallError(const std::string& message);
// `fileStart`: first token of the file being tokenized, -1 when it could not be read.
[[noreturn]] void TokenizerError(const char* path, int32_t fileStart = -1);
// Leaves the run through `exit` with sExitValue and an optional message.
[[noreturn]] void ExitRun(const char* message);

// Requests to stop a run, tested by InterruptPending at each statement: the
// walker before each statement of a block, at the '}' of a block that holds
// none and at the end of the script; compiled code gives up before each
// item, so that the walker stops at the same statement. Every loop pass and
// every call runs a block, so no path runs on for ever past a request.
//
// ZK_Interrupt (a signal handler, any thread) counts one more request in the
// process-wide sInterrupts; each interpreter keeps in sInterruptsTaken the
// count it last took, so a request reaches every interpreter of the process
// without locks or a list of them. ZK_InterruptInterpreter stops one
// interpreter: it sets that thread's sInterruptsTaken to a count that
// differs from sInterrupts (the top bit flipped; the count never gets there).
// A request is pending while the two differ; taking or dropping requests
// makes them equal again. Tested with two relaxed loads: a request only has
// to be seen soon, not in order.
extern std::atomic<uint64_t> sInterrupts;
extern thread_local constinit std::atomic<uint64_t> sInterruptsTaken;
static_assert(std::atomic<uint64_t>::is_always_lock_free, "set from a signal handler");
inline bool InterruptPending() {
    return sInterrupts.load(std::memory_order_relaxed) != sInterruptsTaken.load(std::memory_order_relaxed);
}
// Takes every request made so far: none is pending in this thread after it.
inline void DropInterrupts() {
    sInterruptsTaken.store(sInterrupts.load(std::memory_order_relaxed), std::memory_order_relaxed);
}
// Takes the request and ends the run with "Interrupted" where the cursor is.
[[noreturn]] void InterruptError();

// Every recursive path of the evaluator holds one of these, so that deep
// nesting in a script ends in a script error instead of a stack overflow.
// The limit of a run is kMaxDepth levels, or fewer when the stack of the
// thread that runs it cannot hold that many.
extern thread_local constinit int32_t sDepth;
extern thread_local constinit int32_t sMaxDepth;
constexpr int32_t kMaxDepth = 50000;
[[noreturn]] void DepthError();
#ifdef ZORVIK_FUZZ
// The fuzzing build bounds every run: each loop pass and each call enters a
// DepthGuard, so counting them ends endless loops with a script error.
extern thread_local constinit int64_t sFuzzSteps;
constexpr int64_t kFuzzStepLimit = 200000;
[[noreturn]] void FuzzStepError();
#endif
struct DepthGuard {
    DepthGuard() {
        if (++sDepth > sMaxDepth) {
            --sDepth;
            DepthError();
        }
#ifdef ZORVIK_FUZZ
        if (++sFuzzSteps > kFuzzStepLimit) {
            --sDepth;
            FuzzStepError();
        }
#endif
    }
    ~DepthGuard() { --sDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// Per-run state of the other modules, reset at the start of every run.
void ResetEvaluator();
void ResetStatements();
void ClearFunctions();

}  // namespace zorvik
