// Start-up, shut-down and the run of one script file.
//
// A run owns the token array, the function table, the evaluator's register
// and stack, and the records of the files it imported; all of them are reset
// when a run starts and released when it ends, so a host may run several
// scripts in one process. Variables, the native registry and the search path
// live from ZK_Init to ZK_Terminate.
//
// A session is one run fed in entries: each entry's text is tokenized behind
// the tokens already there (as an import is) and run from its first token,
// so the function table, imports and tokens stay for the next entry. The
// first tokens of the entries mark which tokens belong to the main script.
// An error unwinds to the entry's end, where the calls in progress are
// dropped and the next entry starts at the top level.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "interpreter/assignments.h"
#include "interpreter/call_stack.h"
#include "interpreter/console.h"
#include "interpreter/cursor.h"
#include "interpreter/functions.h"
#include "interpreter/hints.h"
#include "interpreter/natives.h"
#include "interpreter/runner.h"
#include "interpreter/statements.h"
#include "interpreter/tokens.h"

namespace zorvik {

thread_local constinit PerThread<std::string> sErrorMsg;
thread_local constinit int32_t sLastLine = 0, sLastCol = 0;
thread_local constinit int32_t sExitValue = 0;
thread_local constinit int32_t sDepth = 0;
thread_local constinit int32_t sMaxDepth = kMaxDepth;
#ifdef ZORVIK_FUZZ
thread_local constinit int64_t sFuzzSteps = 0;
void FuzzStepError() { Error("Step limit of the fuzzing build"); }
#endif
thread_local constinit SymbolTable* sReservedWords = nullptr;
thread_local constinit HashTable* sNativeFuncs = nullptr;
thread_local constinit HashTable* sLibraries = nullptr;
thread_local constinit int32_t sLibPathCount = 0;
std::atomic<uint64_t> sInterrupts{0};
thread_local constinit std::atomic<uint64_t> sInterruptsTaken{0};

namespace {

constexpr int32_t kMaxLibPaths = 64;

// Stack that one depth level may take, measured over the deepest nesting
// forms with room to spare: about 370 bytes in an optimised build, under
// 1 KiB in the unoptimised sanitizer build. A fixed part of the stack is
// kept for the code below the deepest level: native functions and the error
// report.
#if defined(__SANITIZE_ADDRESS__)
#define ZORVIK_ASAN_FRAMES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORVIK_ASAN_FRAMES 1
#endif
#endif
#ifdef ZORVIK_ASAN_FRAMES
constexpr size_t kStackPerLevel = 4096;
#else
constexpr size_t kStackPerLevel = 2048;
#endif
constexpr size_t kStackReserve = size_t{1} << 20;

thread_local constinit bool sHaveExitMessage = false;
thread_local constinit bool sInitialised = false;
// One directory of the search path. A file found there is named in reports
// by `shown` followed by the import name: `shown` is empty for the script's
// own directory and the script library (the import name as written), and
// for a directory the user named it is that directory as written.
struct SearchEntry {
    std::string dir;  // absolute where the directory came from a relative name
    std::string shown;
    bool user;  // the script's directory or one the user named, not a library
};
thread_local constinit bool sHaveProgramPath = false;
thread_local constinit bool sHaveErrorContext = false;
thread_local constinit bool sHintGiven = false;  // the error being raised comes with sRunner.hint

void* NewReservedData(int32_t code, const char* word) { return new ReservedWord{code, word}; }
void FreeReservedData(void* data) { delete static_cast<ReservedWord*>(data); }
void DeleteLibrary(void* data) { delete static_cast<Library*>(data); }

constexpr size_t kScriptTextMax = 64;

// The report as one line: control characters written as escapes.
// The parts of the last error report (ZK_GetError).
struct ErrorParts {
    std::string file, message;
    int32_t line = 0, column = 0;
    bool set = false;
};

// The thread's runner state that needs destructors, kept in one
// thread_local: the thread's start registers one destructor, not one per
// string.
struct RunnerState {
    std::string filename;
    std::string exitMessage;
    std::vector<SearchEntry> libPaths;
    std::string programPath;
    std::string errorContext;
    std::string hint;  // given with sHintGiven
    ErrorParts error;
    // The first tokens of a session's entries, in order; empty outside a session.
    std::vector<int32_t> entryStarts;
    // Memory held back while a run goes on (kMemoryReserve).
    std::unique_ptr<char[]> memoryReserve;
};
thread_local RunnerState sRunner;

std::string OneLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f) {
            line += static_cast<char>(c);
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else if (c == '\r') {
            line += "\\r";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            line += hex;
        }
    }
    return line;
}

[[noreturn]] void Report(const std::string& file, const ErrorSite& site) {
    sRunner.error = {OneLine(file), OneLine(*sErrorMsg), sLastLine, sLastCol, true};
    sRunner.exitMessage = "ERROR (" + sRunner.error.file + ":" + std::to_string(sRunner.error.line) + ":" +
                          std::to_string(sRunner.error.column) + ") " + sRunner.error.message;
    sHaveExitMessage = true;
    sRunner.errorContext = FormatErrorContext(site);
    sHaveErrorContext = true;
    throw RunExit{RunExit::kError};
}

// The running executable's directory, read through a growing buffer.
bool ExecutableDirectory(std::string& dir) {
    std::string link = "/proc/" + std::to_string(getpid()) + "/exe";
    std::vector<char> buf(256);
    while (true) {
        ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buf.size()) {
            dir.assign(buf.data(), static_cast<size_t>(n));
            break;
        }
        buf.resize(buf.size() * 2);
    }
    size_t cut = dir.find_last_of("/\\");
    dir.erase(cut == std::string::npos ? 0 : cut + 1);
    return true;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The script library of an interpreter in `exeDir`: installed (bin/zorvik
// beside share/zorvik/lib) or, failing that, in the build tree beside it.
std::string ScriptLibraryDirectory(const std::string& exeDir) {
    std::string installed = exeDir + "../share/zorvik/lib/";
    return IsDirectory(installed) ? installed : exeDir + "lib/";
}

// Bytes of stack left below this frame on the running thread; 0 when unknown.
size_t StackLeft() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* low = nullptr;
    size_t size = 0;
    int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    auto bottom = reinterpret_cast<uintptr_t>(low);
    return got == 0 && here > bottom ? here - bottom : 0;
}

// The depth limit for the stack this run has.
int32_t DepthLimit() {
    size_t left = StackLeft();
    if (left <= kStackReserve) return 1;
    size_t levels = (left - kStackReserve) / kStackPerLevel;
    return levels < static_cast<size_t>(kMaxDepth) ? static_cast<int32_t>(levels) : kMaxDepth;
}

std::string CurrentDirectory() {
    std::vector<char> buf(256);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return "";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

void AddSearchEntry(SearchEntry entry) {
    if (!sInitialised || sLibPathCount >= kMaxLibPaths) return;
    sRunner.libPaths.push_back(std::move(entry));
    ++sLibPathCount;
}

}  // namespace

const std::string& LibPath(int32_t i) { return sRunner.libPaths[static_cast<size_t>(i)].dir; }

std::string ShownName(int32_t i, const std::string& name) {
    return sRunner.libPaths[static_cast<size_t>(i)].shown + name;
}

bool IsScriptLibraryEntry(int32_t i) { return !sRunner.libPaths[static_cast<size_t>(i)].user; }

// Relative paths are taken from the working directory as it is now, so
// that they keep naming the same place after a script changes it.
std::string AbsolutePath(const std::string& path) {
    return !path.empty() && path[0] == '/' ? path : CurrentDirectory() + "/" + path;
}

std::string ScriptText(const std::string& text) {
    if (text.size() <= kScriptTextMax) return text;
    size_t cut = kScriptTextMax;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a UTF-8 character
    return text.substr(0, cut) + "...";
}

namespace {

// The first token of the part of the main script that holds the index: the
// last entry that starts at or before it, 0 outside a session.
int32_t EntryStart(int32_t index) {
    auto after = std::upper_bound(sRunner.entryStarts.begin(), sRunner.entryStarts.end(), index);
    return after == sRunner.entryStarts.begin() ? 0 : *(after - 1);
}

}  // namespace

// The imported file whose tokens hold the index: the one with the greatest
// first token at or before it (the main script's tokens come first).
const Library* LibraryOfToken(int32_t index) {
    if (index < 0 || index >= TokenCount() || !sLibraries) return nullptr;
    const Library* best = nullptr;
    HT_ForEachEntry(sLibraries, [index, &best](const HashEntry* e) {
        auto* lib = static_cast<const Library*>(e->data);
        if (lib->firstToken > 0 && lib->firstToken <= index && (!best || lib->firstToken > best->firstToken))
            best = lib;
    });
    // A session entry tokenized after the file belongs to the main script.
    if (best && EntryStart(index) > best->firstToken) return nullptr;
    return best;
}

int32_t FileStartOfToken(int32_t index) {
    const Library* lib = LibraryOfToken(index);
    return lib ? lib->firstToken : EntryStart(index);
}

std::string FileNameOfToken(int32_t index) {
    const Library* lib = LibraryOfToken(index);
    return lib ? lib->name : sRunner.filename;
}

}  // namespace zorvik

using namespace zorvik;

void ZK_Init() {
    if (!sReservedWords) {
        sReservedWords = ST_Init(FreeReservedData, nullptr);
        for (int32_t code = 0; code < RW_COUNT; ++code)
            ST_AddData(sReservedWords, kReservedWords[code], NewReservedData(code, kReservedWords[code]));
    }
    sRunner.libPaths.clear();
    sLibPathCount = 0;
    sHaveProgramPath = false;
    sRunner.programPath.clear();
    // Requests made before this interpreter existed were for others.
    DropInterrupts();
    MM_Init();
    sNativeFuncs = HT_Create(0);
    sLibraries = HT_Create(0);
    sInitialised = true;
}

void ZK_Terminate() {
    if (sReservedWords) {
        ST_Clear(sReservedWords);
        ST_Free(sReservedWords);
        sReservedWords = nullptr;
    }
    sRunner.libPaths.clear();
    sLibPathCount = 0;
    sHaveProgramPath = false;
    sRunner.programPath.clear();
    sHaveExitMessage = false;
    sRunner.exitMessage.clear();
    sHaveErrorContext = false;
    sRunner.errorContext.clear();
    sRunner.error = ErrorParts{};
    if (sNativeFuncs) HT_Free(sNativeFuncs, DeleteNative);
    sNativeFuncs = nullptr;
    if (sLibraries) HT_Free(sLibraries, DeleteLibrary);
    sLibraries = nullptr;
    if (sInitialised) {
        FreeHostValues();
        MM_Terminate();
    }
    sInitialised = false;
}

void ZK_AddLibrarySearchPath(const char* dir) { AddSearchEntry(SearchEntry{dir, "", false}); }

void ZK_SetupPaths(const char* scriptPath, const char* const* importDirs, size_t count) {
    std::vector<std::string> dirs(importDirs, importDirs + count);
    SetupPaths(scriptPath, dirs);
}

void ZK_SetProgramPath(const char* dir) {
    sRunner.programPath = dir;
    sHaveProgramPath = true;
}

const char* ZK_GetProgramPath() { return sHaveProgramPath ? sRunner.programPath.c_str() : ""; }

namespace zorvik {

// Search order for imports: the script's own directory (the working
// directory for a script named without one), then the directories the user
// named in their order, then the script library.
void SetupPaths(const char* scriptPath, std::span<const std::string> importDirs) {
    std::string exeDir;
    if (ExecutableDirectory(exeDir)) ZK_AddLibrarySearchPath(ScriptLibraryDirectory(exeDir).c_str());
    std::string dir = scriptPath;
    size_t cut = dir.find_last_of("/\\");
    if (cut != std::string::npos) {
        dir.erase(cut + 1);
        ZK_SetProgramPath(dir.c_str());
    } else {
        dir.clear();
    }
    // Entries are tried from the last added: the named directories go in
    // backwards, and only as many as leave room for the script's own.
    size_t room = static_cast<size_t>(std::max(kMaxLibPaths - sLibPathCount - 1, 0));
    for (size_t i = std::min(importDirs.size(), room); i-- > 0;) {
        std::string shown = importDirs[i];
        if (shown.empty()) continue;
        if (shown.back() != '/') shown += '/';
        AddSearchEntry(SearchEntry{AbsolutePath(shown), shown, true});
    }
    // The script's directory is absolute too, so that imports keep finding
    // its neighbours after the script changes the working directory.
    AddSearchEntry(SearchEntry{AbsolutePath(dir), "", true});
}

namespace {

// Memory held back while a run goes on, and given up when its memory runs
// out, so that the report and the clean-up after it can still allocate.
constexpr size_t kMemoryReserve = size_t{1} << 20;

// Ends a run whose memory ran out, after the unwinding has freed what the
// failed statement held: the usual report at the current position.
void ReportOutOfMemory() {
    sRunner.memoryReserve.reset();
    try {
        *sErrorMsg = "Out of memory";
        Error();
    } catch (const RunExit&) {
    } catch (const std::bad_alloc&) {
        sHaveExitMessage = false;  // not even the report fits: the run ends without one
    }
}

// Resets what one run, or one entry of a session, starts from.
void BeginRun() {
    sHaveExitMessage = false;
    sRunner.exitMessage.clear();
    sHaveErrorContext = false;
    sRunner.errorContext.clear();
    sRunner.error = ErrorParts{};
    sExitValue = 0;
    sErrorMsg->clear();
    sLastLine = sLastCol = 0;
    sDepth = 0;
    sMaxDepth = DepthLimit();
#ifdef ZORVIK_FUZZ
    sFuzzSteps = 0;
#endif
    ResetCursor();
    ResetEvaluator();
    ResetStatements();
    ResetCallStack();
    if (!sRunner.memoryReserve) sRunner.memoryReserve.reset(new (std::nothrow) char[kMemoryReserve]);
}

// Set while a run, a session's entry or a host's call goes on: a host call
// made then (from a native) is refused.
thread_local constinit bool sRunning = false;

class Running {
  public:
    Running() { sRunning = true; }
    ~Running() { sRunning = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
};

enum class Ending { kNormal, kError, kExit };

// Runs `body`; an error or `exit` in it ends here, as does memory running out.
template <typename Body>
Ending Execute(Body body) {
    try {
        body();
        return Ending::kNormal;
    } catch (const RunExit& exit) {
        return exit.kind == RunExit::kError ? Ending::kError : Ending::kExit;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {  // a string or array beyond its largest size
    }
    ReportOutOfMemory();
    return Ending::kError;
}

// Deletes what calls in progress left behind: a run that ended inside a
// call leaves their scopes among the root variables.
void DropCalls() {
    ResetEvaluator();
    ResetCursor();
    try {
        DeleteScopes();
    } catch (const std::bad_alloc&) {
        // Still no memory even for the clean-up: the scopes stay until ZK_Terminate.
    }
}

// Releases what a run, or a whole session, owned.
void EndRun() {
    ZK_Flush();
    DropCalls();
    ClearTokens();
    ClearSources();
    ClearFunctions();
    HT_Clear(sLibraries, DeleteLibrary);
    sRunner.entryStarts.clear();
    sRunner.filename.clear();
}

// One run: `tokenize` appends the main script's tokens. Per-run state is
// reset before and released after, whatever way the run ends.
template <typename Tokenizer>
int32_t Run(const char* name, Tokenizer tokenize) {
    sRunner.filename = name;
    Running running;
    BeginRun();
    Ending ending = Execute([&tokenize] {
        tokenize();
        sToken = 0;
        GetNext(false);
        ExecuteBlock();
    });
    int32_t result = ending == Ending::kNormal ? 0 : ending == Ending::kError ? ERROR_EXIT : sExitValue;
    ZK_Flush();
    if (result == ERROR_EXIT && sHaveExitMessage) DeliverErrorReport(sRunner.exitMessage, sRunner.errorContext);
    EndRun();
    return result;
}

}  // namespace

}  // namespace zorvik

int32_t ZK_Run(const char* path) {
    return Run(path, [path] { Tokenize(path); });
}

int32_t ZK_RunString(const char* name, const char* source, size_t length) {
    return Run(name, [name, source, length] { TokenizeText(name, std::string(source, length)); });
}

namespace zorvik {
namespace {

// How a session's entry or a host's call ends, once `body` has run: the
// request to stop that came too late for it dropped, the output flushed, the
// error reported, and after an error the state taken back to the top level
// with what the calls in progress made dropped.
int32_t EndStep(Ending ending, bool* exited) {
    DropInterrupts();
    ZK_Flush();
    if (ending == Ending::kError && sHaveExitMessage) DeliverErrorReport(sRunner.exitMessage, sRunner.errorContext);
    if (exited) *exited = ending == Ending::kExit;
    if (ending == Ending::kNormal) return 0;
    if (ending == Ending::kExit) return sExitValue;
    DropCalls();
    ResetCallLevels();
    return ERROR_EXIT;
}

// One entry of a session: `tokenize` appends its tokens.
template <typename Tokenizer>
int32_t RunEntry(Tokenizer tokenize, bool* exited) {
    Running running;
    BeginRun();
    int32_t first = TokenCount();
    sRunner.entryStarts.push_back(first);
    Ending ending = Execute([first, &tokenize] {
        tokenize();
        SeekToken(first);
        GetNext(false);
        ExecuteBlock();
    });
    // An entry that failed to tokenize still ends as a file does, with an
    // end-of-file token of its own even when it has no other: every entry's
    // tokens end at their own, and no two entries share a first token.
    if (TokenCount() == first || sTokens.back().type != TOKEN_EOF) sTokens.emplace_back();
    return EndStep(ending, exited);
}

// The result of a call the host made, out of "@".
void DeliverResult(Var* result) {
    if (result)
        DeepStoreResultInto(result);
    else
        MM_DeleteResult();
}

// A call that a native makes while the script runs: a call of the script's
// own, made from where the native was called, after which the cursor is
// where it was. An error or `exit` in it ends the run from here.
int32_t CallWithin(Var* function, const char* name, Var* const* args, size_t count, Var* result,
                   bool* exited) {
    CursorMark mark;
    CallFromHost(function, name, args, count, true);
    DeliverResult(result);
    mark.Restore();
    if (exited) *exited = false;
    return 0;
}

// A call of the host's: `find` gives the function value, `name` its name
// (null for a value the host kept).
template <typename Finder>
int32_t HostCall(Finder find, const char* name, Var* const* args, size_t count, Var* result, bool* exited) {
    if (sRunning) return CallWithin(find(), name, args, count, result, exited);
    Running running;
    BeginRun();
    Ending ending = Execute([&] {
        CallFromHost(find(), name, args, count, false);
        DeliverResult(result);
    });
    return EndStep(ending, exited);
}

}  // namespace
}  // namespace zorvik

void ZK_BeginSession(const char* name) { sRunner.filename = name; }

int32_t ZK_RunEntry(const char* source, size_t length, bool* exited) {
    return RunEntry([source, length] { TokenizeText(sRunner.filename.c_str(), std::string(source, length)); }, exited);
}

int32_t ZK_Load(const char* path, bool* exited) {
    ZK_BeginSession(path);
    return RunEntry([path] { Tokenize(path); }, exited);
}

int32_t ZK_Call(const char* name, ZK_Value* const* args, size_t count, ZK_Value* result, bool* exited) {
    return HostCall([name] { return MM_GetVar(name); }, name, args, count, result, exited);
}

int32_t ZK_CallValue(ZK_Value* function, ZK_Value* const* args, size_t count, ZK_Value* result, bool* exited) {
    return HostCall([function] { return function; }, nullptr, args, count, result, exited);
}

bool ZK_EntryIsOpen(const char* source, size_t length) { return TextIsOpen(std::string(source, length)); }

void ZK_EndSession() { EndRun(); }

const char* ZK_GetExitMessage() { return sHaveExitMessage ? sRunner.exitMessage.c_str() : nullptr; }

const char* ZK_GetErrorContext() { return sHaveErrorContext ? sRunner.errorContext.c_str() : nullptr; }

bool ZK_GetError(const char** file, int32_t* line, int32_t* column, const char** message) {
    if (!sRunner.error.set) return false;
    if (file) *file = sRunner.error.file.c_str();
    if (line) *line = sRunner.error.line;
    if (column) *column = sRunner.error.column;
    if (message) *message = sRunner.error.message.c_str();
    return true;
}

namespace zorvik {

// The file of an error is that of the lookahead token, the one just read; on
// an end-of-file token the cursor stays, so that an empty file's only token
// is found too.
// A hint is given for the user's own code, not for the script library's.
void Error() {
    int32_t at = sNextType == TOKEN_EOF ? sToken : sToken - 1;
    const Library* lib = LibraryOfToken(at);
    ErrorSite site{sLastLine, sLastCol, FileStartOfToken(at), lib && lib->scriptLibrary, ""};
    if (!site.inScriptLibrary) site.hint = sHintGiven ? sRunner.hint : HintAt(*sErrorMsg, at);
    sHintGiven = false;
    Report(FileNameOfToken(at), site);
}

void Error(const std::string& message) {
    *sErrorMsg = message;
    Error();
}

void Error(const std::string& message, const std::string& hint) {
    sRunner.hint = hint;
    sHintGiven = true;
    Error(message);
}

void ErrorF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(message.data(), message.size() + 1, format, args);
    va_end(args);
    Error(message);
}

void TokenizerError(const char* path, int32_t fileStart) {
    Report(path, ErrorSite{sLastLine, sLastCol, fileStart, false, ""});
}

void ExitRun(const char* message) {
    if (message) {
        sRunner.exitMessage = message;
        sHaveExitMessage = true;
    }
    throw RunExit{RunExit::kExit};
}

void DepthError() { Error("Nesting too deep"); }

void HostCallError(const std::string& message) {
    *sErrorMsg = message;
    sLastLine = sLastCol = 0;
    Report(sRunner.filename, ErrorSite{0, 0, -1, false, ""});
}

void InterruptError() {
    DropInterrupts();
    Error("Interrupted");
}

}  // namespace zorvik

void ZK_Interrupt() { sInterrupts.fetch_add(1, std::memory_order_relaxed); }

ZK_Interpreter* ZK_CurrentInterpreter() { return reinterpret_cast<ZK_Interpreter*>(&sInterruptsTaken); }

void ZK_InterruptInterpreter(ZK_Interpreter* interpreter) {
    auto* taken = reinterpret_cast<std::atomic<uint64_t>*>(interpreter);
    taken->store(sInterrupts.load(std::memory_order_relaxed) ^ (uint64_t{1} << 63), std::memory_order_relaxed);
}

bool ZK_InterruptPending() { return InterruptPending(); }
