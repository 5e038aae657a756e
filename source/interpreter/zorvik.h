// The interpreter's public interface: the host side (init, run, terminate,
// search path) and the native-function side (arguments, results, errors).
//
// A native function is a plain void() registered under a dotted name and
// reached from script code through `__CALL "name";`. It reads its arguments
// as locals of the current call scope and leaves its result in the local
// "r" (or writes through a ref argument). ZK_Error ends the run: it throws
// the run's exit frame, which ZK_Run catches; native code must therefore keep
// its resources in RAII owners. Any other C++ exception that leaves a native
// ends the run the same way, with the error "<name> failed: <what()>" at the
// `__CALL` (std::bad_alloc is the run's "Out of memory", as anywhere).
//
// Threads: each thread that calls ZK_Init has an interpreter of its own,
// and every ZK_ function acts on the interpreter of the calling thread. Its
// variables, runs, error report, natives (with their contexts and the
// disabled ones), search path, program path, output and input callbacks,
// sandbox directory, script arguments, open files and random generator are
// that thread's; two threads may run scripts at the same time. A ZK_Value*
// belongs to the interpreter of the thread that got it and is used only on
// that thread. A thread calls ZK_CloseStandardLibraries and ZK_Terminate
// before it ends: without them its variables and registrations leak and
// its scripts' open files stay open. Shared by the process: the working
// directory, the environment, the C standard streams and the stop requests
// of ZK_Interrupt, which reach every interpreter; ZK_InterruptInterpreter
// reaches one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A value of a script: a variable, with a value (undefined, a number, a
// string or a function) and members of its own. Hosts and natives hold it
// only by pointer, through the ZK_ functions below; its layout is the
// library's own.
namespace zorvik {
struct Var;
}
using ZK_Value = zorvik::Var;

constexpr int32_t ERROR_EXIT = INT32_MIN;

using ZK_NativeFunc = void (*)();

// --- host interface ---
void ZK_Init();
void ZK_Terminate();
// Runs a script file. The result is 0 when the script ran to its end, the
// value given to `exit`, or ERROR_EXIT after an error report.
int32_t ZK_Run(const char* path);
// Runs script text held in memory (length bytes, NULs included); `name`
// stands for the file in error reports. The result is that of ZK_Run.
int32_t ZK_RunString(const char* name, const char* source, size_t length);
// The last run's exit message: its error report or the text given to `exit`;
// null when there is none.
const char* ZK_GetExitMessage();
// The parts of the last run's error report "ERROR (file:line:column) message",
// each valid until the next run or ZK_Terminate: true, with the file as the
// report names it, the line and column (0 when the error has no position in
// the script, such as a file that cannot be opened) and the message, after a
// run that ended in an error; false, with nothing set, after any other run.
// Each of the out-pointers may be null.
bool ZK_GetError(const char** file, int32_t* line, int32_t* column, const char** message);
// After a run that ended in an error: lines that locate it for a reader (the
// source line with a caret under the column, a "  hint: " line where a
// common mistake is likely, then the calls and imports in progress,
// innermost first), each ending in a line break; "" when there is nothing
// to show. Null after a run without an error.
const char* ZK_GetErrorContext();
// An interactive session: entries of script text run one after another in
// one run, so that the variables, functions and imports of one entry are
// there in the next. Between ZK_BeginSession and ZK_EndSession no other run
// may start. `name` stands for the script in error reports; line numbers
// count within each entry.
void ZK_BeginSession(const char* name);
// Runs one entry. The result is 0 when it ran to its end, ERROR_EXIT after an
// error report (the session goes on at the top level, with what the entry
// made before the error), or the value given to `exit`, which sets *exited:
// the session is then over. The exit message and error context are those of
// the entry. A stop asked for by ZK_Interrupt still pending when the entry
// ends is dropped.
int32_t ZK_RunEntry(const char* source, size_t length, bool* exited);
// Whether the text ends inside a string, a comment or open brackets, so that
// the entry goes on in the next line.
bool ZK_EntryIsOpen(const char* source, size_t length);
void ZK_EndSession();

// --- calling script functions ---
// A script loaded for calls: ZK_BeginSession(path) followed by the file run
// as the session's first entry, whose result (and *exited, when `exited` is
// not null) this gives. Its globals, functions and imports stay, for calls
// and further entries, until ZK_EndSession, also after an error.
int32_t ZK_Load(const char* path, bool* exited);
// Calls the function held by the global variable `name` (a path: "ui.click"
// is the member "click" of the global "ui", which the body sees as `self`),
// or the function value `function` (the body's `this`, through which it
// may change), with `count` arguments: for each
// parameter taken by value the value of args[i] (its members are not
// passed; null passes an undefined value), for each one taken by reference
// the variable args[i] itself, which the body may change (not null). Where
// `result` is not null, it receives a copy of what the body returned, with
// its members, in place of its value and members (undefined for no `return`
// value); it must outlive the call. The result is 0 when the call ended
// normally, ERROR_EXIT after an error, which is reported as a run's error
// is (ZK_GetError, ZK_GetErrorContext, the error output), or the value given
// to `exit`, which sets *exited. After an error the state goes on as after
// a failed entry: the calls in progress are dropped, what they changed stays.
// A native may call too, while the script runs: the call is then one of the
// script's own, made from the native's `__CALL`, and gives 0 when it ends;
// an error or `exit` in it ends the run as in any call, by the exception
// that ZK_Error throws, which the native must let pass. A function value
// calls only while the run or session that made it goes on; after that it
// is "not a function".
int32_t ZK_Call(const char* name, ZK_Value* const* args, size_t count, ZK_Value* result, bool* exited);
int32_t ZK_CallValue(ZK_Value* function, ZK_Value* const* args, size_t count, ZK_Value* result,
                     bool* exited);
// A value the host keeps: outside every script's variables, so no script
// can delete it. Undefined when made; valid until ZK_FreeValue or
// ZK_Terminate, across runs and sessions. Use it to keep a function value a
// script gave a native (a callback), for arguments and for results.
ZK_Value* ZK_NewValue();
// Frees a value made by ZK_NewValue, with its members; ignores null and any
// other pointer.
void ZK_FreeValue(ZK_Value* value);
// Replaces the value and members of `dest` with a copy of those of
// `source` (null: undefined, no members), as `dest := source;` does.
void ZK_CopyValue(ZK_Value* dest, const ZK_Value* source);
// Asks the running script to stop: before its next statement the run ends
// in the error report "Interrupted", and ZK_Run gives ERROR_EXIT as after
// any error (what the script wrote is kept). Safe in a signal handler and from any
// thread; a request made between runs stops the next run at its first
// statement. The request is taken when the run reports it. It reaches every
// interpreter of the process that exists when it is made (each thread's),
// running or between runs; ZK_Init starts an interpreter with no request
// pending, so a request made before it is not that interpreter's.
void ZK_Interrupt();
// The interpreter of the calling thread, named for ZK_InterruptInterpreter.
// The name stays valid until that thread ends, across ZK_Terminate and a
// new ZK_Init (which drops a request pending for it).
struct ZK_Interpreter;
ZK_Interpreter* ZK_CurrentInterpreter();
// ZK_Interrupt for one interpreter only: its running script stops before
// its next statement, or its next run at the first. From any thread, also
// safe in a signal handler, while the thread of `interpreter` has not ended.
void ZK_InterruptInterpreter(ZK_Interpreter* interpreter);
void ZK_AddLibrarySearchPath(const char* dir);
void ZK_SetProgramPath(const char* dir);
// The command line's search path for a script: its own directory first (the
// working directory when the path has none, or for "": a script not read
// from a file), then the `count` directories of `importDirs` in their order
// (relative ones taken from the working directory now), then the script
// library relative to the running executable: ../share/zorvik/lib/ when
// installed, else lib/ beside it.
void ZK_SetupPaths(const char* scriptPath, const char* const* importDirs, size_t count);
const char* ZK_GetProgramPath();
// --- the native libraries sys, math, string, array and file ---
// Registers their native functions ("sys.wln", "math.sqrt", ...), which the
// script library (lib/*.z) calls; after ZK_Init, before the first ZK_Run.
void ZK_OpenStandardLibraries();
// Registers the natives of one of those libraries by its name ("sys",
// "math", "string", "array", "file"), so that a host opens only those it
// trusts; false for another name. ZK_CloseStandardLibraries closes what
// was opened.
bool ZK_OpenLibrary(const char* name);
// Confines the file library to `dir` and imports to the search path: paths
// are taken relative to `dir`, links resolved, and anything that leads
// outside, `cd`, and an import name that is absolute or holds `..` end the
// run with an error. False, refusing every path, when `dir` is not a
// directory; null lifts the confinement. Kept until set again, across
// ZK_Terminate.
bool ZK_SetSandboxDirectory(const char* dir);
// Closes the files that scripts left open; after the last run, either side
// of ZK_Terminate. The libraries may be opened again after a new ZK_Init.
// False when data was lost: a file whose last data could not be written,
// each named in a line on standard error.
bool ZK_CloseStandardLibraries();
// The arguments that sys.args gives scripts (a command line passes those
// after the script); copied; none until set. Kept across runs until set again.
void ZK_SetScriptArguments(int count, const char* const* values);

// --- native-function interface (native_interface.cpp) ---
int ZK_RegisterNativeFunc(const char* name, ZK_NativeFunc func);
// The same, with a pointer that the host owns and the native reads back
// while it runs (ZK_NativeContext); the pointer must stay valid while the
// native can be called. 1 when registered, 0 when the name already was
// (it keeps its first function and context).
int ZK_RegisterNativeFuncWithContext(const char* name, ZK_NativeFunc func, void* context);
// Makes a registered native end the run that calls it with the error
// "<name> is disabled by the host" (a sandbox leaves out sys.execute and
// sys.sleep this way); 1, or 0 when no native has that name. Until
// ZK_Terminate.
int ZK_DisableNative(const char* name);
// Inside a native: the context it was registered with (null for one
// registered without). Null outside a native.
void* ZK_NativeContext();

// One row of a library's registration table: the dotted script name and the
// function. A library keeps one table and registers it in one call.
struct ZK_NativeReg {
    const char* name;
    ZK_NativeFunc func;
};
// Registers the rows in table order; a name registered before keeps its
// first function.
void ZK_RegisterNatives(std::span<const ZK_NativeReg> natives);

ZK_Value* ZK_GetLocalVariable(const char* name);
ZK_Value* ZK_CreateLocalVariable(const char* name);
int ZK_DeleteLocalVariable(const char* name);
void ZK_UnrefLocalVariable(const char* name);
ZK_Value* ZK_GetGlobalVariable(const char* path);
ZK_Value* ZK_CreateGlobalVariable(const char* path);
int ZK_DeleteGlobalVariable(const char* path);
[[noreturn]] void ZK_Error(const char* message);

// --- values ---
// What a value holds. A missing value (a null pointer) is ZK_MISSING.
enum ZK_Type : int32_t {
    ZK_MISSING = -1,
    ZK_UNDEFINED = 0,
    ZK_NUMBER = 1,
    ZK_STRING = 2,
    ZK_FUNCTION = 4,
};
ZK_Type ZK_TypeOf(const ZK_Value* value);
// Type tests for native arguments; a missing argument (null) is neither.
bool ZK_IsNumber(const ZK_Value* value);
bool ZK_IsString(const ZK_Value* value);
// The number; 0 for a value that is not one.
double ZK_GetNumber(const ZK_Value* value);
// The string's bytes, NUL-terminated, with their count in *length when
// length is not null; null (and 0) for a value that is not a string. Valid
// until the value changes or is deleted; the bytes are read-only (values
// copied from one another share them).
const char* ZK_GetString(const ZK_Value* value, size_t* length = nullptr);
// Replace the value; its members stay. A string is copied; it ends at its
// first NUL byte, if `length` takes in one, as script strings do.
void ZK_SetNumber(ZK_Value* value, double number);
void ZK_SetString(ZK_Value* value, const char* text, size_t length);
void ZK_SetUndefined(ZK_Value* value);
// Members by name, or by a path of names ("a.b" is the member "b" of the
// member "a"). GetMember gives null when there is none; CreateMember gives
// the member, made undefined when it was not there (an existing one keeps
// its value); DeleteMember deletes it with its own members, 1 when there
// was one. A null value has no members: null, null and 0.
ZK_Value* ZK_GetMember(ZK_Value* value, const char* name);
ZK_Value* ZK_CreateMember(ZK_Value* value, const char* name);
int ZK_DeleteMember(ZK_Value* value, const char* name);
// The number of members, and each of them in the order a member loop
// (`for (k : v)`) takes them. The visitor returns false to stop early; it
// may change or delete members: a member deleted before its turn is skipped.
size_t ZK_MemberCount(ZK_Value* value);
using ZK_MemberVisitor = bool (*)(void* user, const char* name, ZK_Value* member);
void ZK_ForEachMember(ZK_Value* value, ZK_MemberVisitor visit, void* user);

// Argument checks. Each returns the argument it was given when it passes
// and otherwise ends the run with `message`, which every native words
// itself ("sqrt expected number as parameter"). The Check forms test an
// argument already fetched, so that a native keeps its own order of
// fetching, resetting "r" and checking; the Opt forms let an absent
// argument pass.
template <class V>
V* ZK_CheckAny(V* var, const char* message) {
    if (!var) ZK_Error(message);
    return var;
}
template <class V>
V* ZK_CheckNumber(V* var, const char* message) {
    if (!ZK_IsNumber(var)) ZK_Error(message);
    return var;
}
template <class V>
V* ZK_CheckString(V* var, const char* message) {
    if (!ZK_IsString(var)) ZK_Error(message);
    return var;
}
template <class V>
V* ZK_OptNumber(V* var, const char* message) {
    if (var && !ZK_IsNumber(var)) ZK_Error(message);
    return var;
}
template <class V>
V* ZK_OptString(V* var, const char* message) {
    if (var && !ZK_IsString(var)) ZK_Error(message);
    return var;
}
// Fetch-and-check forms for natives that test each argument as they read it.
ZK_Value* ZK_NumberArg(const char* name, const char* message);
ZK_Value* ZK_StringArg(const char* name, const char* message);

// A required number argument floored to the integer it stands for, as signed
// 32 bits (NaN and values outside the range give INT32_MIN); an optional
// one, or `fallback` when it is absent.
int32_t ZK_IntArg(const char* name, const char* message);
int32_t ZK_OptIntArg(const char* name, const char* message, int32_t fallback);

// Whether the calling thread's run was asked to stop (ZK_Interrupt,
// ZK_InterruptInterpreter): a native that waits returns early, and the run
// stops before its next statement.
bool ZK_InterruptPending();

// --- standard output, the error output and standard input ---
// Everything the interpreter writes for scripts (sys.write, sys.wln, debug)
// goes to the output: C stdout, or the host's callback. A write callback
// receives `length` bytes (not NUL-terminated, in pieces that need not be
// lines) and returns false when it lost them; a read callback fills at most
// `capacity` bytes and returns how many, 0 at the end of input, -1 on a
// read error. Callbacks must not throw, nor start a run. They stay set,
// with their `user` pointer, until set again (null: the C stream again),
// across ZK_Terminate.
using ZK_WriteFunc = bool (*)(void* user, const char* data, size_t length);
using ZK_ReadFunc = ptrdiff_t (*)(void* user, char* buffer, size_t capacity);
// The output. A callback gets the bytes gathered when 8 KiB are pending and
// at every ZK_Flush, which each run makes at its end and before it reads
// input, pauses or runs a shell command. What was written before is handed
// to the old output first. Shell commands write to the process's own stdout.
void ZK_SetOutput(ZK_WriteFunc write, void* user);
// The error output: the interpreter's messages about lost output or input
// (one line each), and, with a callback, the report of every run that ends
// in an error: its line (ZK_GetExitMessage), a line break and its context
// (ZK_GetErrorContext), after the run's output. Without a callback the
// messages go to C stderr and runs print no report.
void ZK_SetErrorOutput(ZK_WriteFunc write, void* user);
// Standard input for sys.rln and sys.eof; setting it starts the new source
// afresh (bytes read ahead from the old one are dropped).
void ZK_SetInput(ZK_ReadFunc read, void* user);
// Writes to the output or the error output, for a host or a native whose
// text must keep its place among the script's.
void ZK_Write(const char* data, size_t length);
void ZK_WriteError(const char* data, size_t length);
// Hands what the output holds to stdout or the callback.
void ZK_Flush();
// Flushes the output for the last time. False when output was lost (a write
// failed or was refused, or this flush failed); one line on the error
// output says so.
bool ZK_FinishOutput();
