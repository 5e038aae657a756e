// A host program that embeds the zorvik interpreter. It opens the standard
// native libraries, registers a native function of its own with a context
// (host.log keeps its lines in the session, not in a global), routes what
// scripts print, read and report through callbacks, sets a variable for the
// scripts, runs two scripts one after the other in one process, reads their
// results back, shows what a failed run reports, loads a script whose
// functions it calls (a handler the script gave it, and one by name), and
// runs untrusted code in a sandbox.
//
// Usage: host SCRIPT_DIR/   (the directory that holds primes.z, report.z and handlers.z)
#include <pthread.h>
#include <zorvik.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Everything of one session: what the callbacks and the native work on.
struct Session {
    std::string scriptDir;
    std::vector<std::string> log;          // the lines scripts gave host.log
    std::string output;                    // what scripts printed
    std::string errors;                    // reports of failed runs
    std::string_view input = "nightly\n";  // what scripts read
    ZK_Value* onClick = nullptr;           // the handler handlers.z gave host.on
    bool ok = false;
};

// host.log(line): keeps a line of text for the host and returns how many it
// holds now. A native reads its arguments as locals of the calling script
// function and leaves its result in the local "r"; the log it writes to is
// the context it was registered with.
void host_log() {
    auto* log = static_cast<std::vector<std::string>*>(ZK_NativeContext());
    const ZK_Value* line = ZK_StringArg("line", "log expected string as parameter");
    log->emplace_back(ZK_GetString(line));
    ZK_SetNumber(ZK_CreateLocalVariable("r"), static_cast<double>(log->size()));
}

// The output callbacks: append to a string of the session's.
bool Collect(void* user, const char* data, size_t length) {
    static_cast<std::string*>(user)->append(data, length);
    return true;
}

// The input callback: hands out the session's input, then the end (0).
ptrdiff_t Feed(void* user, char* buffer, size_t capacity) {
    auto* input = static_cast<std::string_view*>(user);
    size_t n = std::min(capacity, input->size());
    std::memcpy(buffer, input->data(), n);
    input->remove_prefix(n);
    return static_cast<ptrdiff_t>(n);
}

// Runs one script and says how it ended. ZK_Run returns 0 at the end of the
// script, the value given to `exit`, or ERROR_EXIT with the report in
// ZK_GetExitMessage.
bool RunScript(const std::string& dir, const char* name) {
    int32_t result = ZK_Run((dir + name).c_str());
    if (result == ERROR_EXIT) {
        std::printf("%s failed: %s\n", name, ZK_GetExitMessage());
        return false;
    }
    std::printf("%s ended with %d\n", name, result);
    return true;
}

// A third run, from text in memory, that fails: the error callback gets the
// report, which names the given name, line and column, and the context,
// which shows the line and the calls in progress.
bool ReportError(Session& session) {
    const std::string source =
        "half = function (x) { return x / 2; };\n"
        "h = half(report);\n";
    if (ZK_RunString("inline check", source.data(), source.size()) != ERROR_EXIT) return false;
    std::fputs(session.errors.c_str(), stdout);
    return !session.errors.empty();
}

// host.on(event, handler): keeps the handler of the "click" event. The
// argument dies with the call; the value the host made keeps a copy.
void host_on() {
    auto* session = static_cast<Session*>(ZK_NativeContext());
    const ZK_Value* event = ZK_StringArg("event", "on expected string as parameter");
    if (std::strcmp(ZK_GetString(event), "click") != 0) ZK_Error("on: unknown event");
    ZK_CopyValue(session->onClick, ZK_GetLocalVariable("handler"));
}

// Loads handlers.z and keeps its state open for calls: the click handler it
// registered, called twice with arguments, then its function total() by name.
bool CallHandlers(Session& session) {
    session.onClick = ZK_NewValue();
    ZK_RegisterNativeFuncWithContext("host.on", host_on, &session);
    bool ok = ZK_Load((session.scriptDir + "handlers.z").c_str(), nullptr) == 0;
    ZK_Value* x = ZK_NewValue();
    ZK_Value* y = ZK_NewValue();
    ZK_Value* result = ZK_NewValue();
    ZK_Value* args[] = {x, y};
    for (int i = 1; ok && i <= 2; ++i) {
        ZK_SetNumber(x, 10 * i);
        ZK_SetNumber(y, 20 * i);
        ok = ZK_CallValue(session.onClick, args, 2, result, nullptr) == 0;
        if (ok) std::printf("handler: %s\n", ZK_GetString(result));
    }
    ok = ok && ZK_Call("total", nullptr, 0, result, nullptr) == 0;
    if (ok) std::printf("total clicks: %g\n", ZK_GetNumber(result));
    ZK_EndSession();  // the functions go; the handler no longer calls anything
    for (ZK_Value* value : {x, y, result, session.onClick}) ZK_FreeValue(value);
    return ok;
}

// Untrusted code in a sandbox: files only in the scripts' directory, no
// shell, no pause. What stays inside works; the rest is refused with an
// error that names it.
bool RunSandboxed(const Session& session) {
    ZK_DisableNative("sys.execute");
    ZK_DisableNative("sys.sleep");
    if (!ZK_SetSandboxDirectory(session.scriptDir.c_str())) return false;
    const std::string attempts[] = {
        "fl := import(\"file.z\"); h = fl.open(\"primes.z\"); fl.close(h); exit(h);",
        "fl := import(\"file.z\"); h = fl.open(\"/etc/passwd\");",
        "fl := import(\"file.z\"); h = fl.open(\"../../etc/passwd\");",
        "s := import(\"sys.z\"); s.execute(\"id\");",
    };
    bool asExpected = true;
    for (const std::string& code : attempts) {
        int32_t result = ZK_RunString("untrusted", code.data(), code.size());
        const char* message = nullptr;
        if (ZK_GetError(nullptr, nullptr, nullptr, &message))
            std::printf("sandbox refused: %s\n", message);
        else
            std::printf("sandbox allowed: ended with %d\n", result);
        asExpected = asExpected && (result == ERROR_EXIT) == (&code != &attempts[0]);
    }
    ZK_SetSandboxDirectory(nullptr);
    return asExpected;
}

// Reads a global variable that a script left behind as text.
std::string Describe(const char* path) {
    const ZK_Value* var = ZK_GetGlobalVariable(path);
    if (ZK_IsString(var)) return ZK_GetString(var);
    if (ZK_IsNumber(var)) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", ZK_GetNumber(var));
        return text;
    }
    return "(undefined)";
}

// Shows what the scripts printed, a line at a time.
void ShowOutput(const std::string& output) {
    size_t begin = 0;
    for (size_t end; (end = output.find('\n', begin)) != std::string::npos; begin = end + 1)
        std::printf("script output: %s\n", output.substr(begin, end - begin).c_str());
}

void* RunSession(void* arg) {
    auto* session = static_cast<Session*>(arg);
    // The scripts' standard streams are the session's strings.
    ZK_SetOutput(Collect, &session->output);
    ZK_SetErrorOutput(Collect, &session->errors);
    ZK_SetInput(Feed, &session->input);
    // Start-up: the interpreter, the search path for import, the natives.
    ZK_Init();
    ZK_AddLibrarySearchPath(ZORVIK_SCRIPT_LIBRARY_DIR);
    ZK_AddLibrarySearchPath(session->scriptDir.c_str());  // added last, searched first
    ZK_OpenStandardLibraries();
    ZK_RegisterNativeFuncWithContext("host.log", host_log, &session->log);

    // A variable the host writes before the first run.
    ZK_SetNumber(ZK_CreateGlobalVariable("config.limit"), 30);

    session->ok = RunScript(session->scriptDir, "primes.z") && RunScript(session->scriptDir, "report.z");
    if (session->ok) {
        std::printf("report: %s\n", Describe("report").c_str());
        std::printf("first prime: %s\n", Describe("primes.0").c_str());
        for (const std::string& line : session->log) std::printf("log: %s\n", line.c_str());
        ShowOutput(session->output);
        session->ok = ReportError(*session) && CallHandlers(*session) && RunSandboxed(*session);
    }

    // Shut-down: every variable and registration goes; files that scripts
    // left open are closed.
    ZK_Terminate();
    ZK_CloseStandardLibraries();
    // The last flush of what the scripts printed; false when output was lost.
    if (!ZK_FinishOutput()) session->ok = false;
    // The C streams again, before the session's strings go.
    ZK_SetOutput(nullptr, nullptr);
    ZK_SetErrorOutput(nullptr, nullptr);
    ZK_SetInput(nullptr, nullptr);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: host SCRIPT_DIR/\n");
        return 2;
    }
    Session session;
    session.scriptDir = argv[1];
    if (session.scriptDir.back() != '/') session.scriptDir += '/';
    // Scripts may nest calls up to the interpreter's depth limit, which needs
    // a large stack: run the interpreter on a thread with 1 GiB of stack, as
    // the zorvik command does (the memory is only reserved, not used).
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_t thread;
    if (pthread_attr_setstacksize(&attr, size_t{1} << 30) == 0 &&
        pthread_create(&thread, &attr, RunSession, &session) == 0) {
        pthread_join(thread, nullptr);
    } else {
        RunSession(&session);
    }
    pthread_attr_destroy(&attr);
    return session.ok ? 0 : 1;
}
