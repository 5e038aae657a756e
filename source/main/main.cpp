// The command line: `zorvik [options] script [arguments...]`, or `zorvik -i`
// (and a bare `zorvik` on a terminal) for an interactive session.
//
// The interpreter runs on a thread with a large stack, so that scripts can
// nest and recurse as deep as the evaluator's depth limit allows.
//
// Process status: 0 after a run that ended normally, 1 after an error report
// (a missing script included), after lost output and for the bare usage
// line, n & 255 after `exit(n)`, 2 for a command line that cannot be
// understood, 128 + the signal number after SIGINT or SIGTERM.
//
// SIGINT and SIGTERM stop the script before its next statement with the
// report "Interrupted"; the run then ends as after any error, so output and
// open files are flushed. A second signal ends the process at once. In a
// session a SIGINT stops only the running entry, and is ignored at the
// prompt; a SIGTERM at the prompt ends the process at once.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interpreter/natives.h"
#include "main/session.h"

namespace zorvik {

#ifndef ZORVIK_VERSION
#error "ZORVIK_VERSION must be defined by the build"
#endif

namespace {

// The largest stack is tried first; under an address-space limit a smaller
// one may still be had. Whatever the thread gets, the run's depth limit
// follows it (ZK_Run measures the stack it runs on).
constexpr size_t kStackSize = size_t{1} << 30;
constexpr size_t kMinStackSize = size_t{16} << 20;
constexpr int kStatusError = 1;
constexpr int kStatusUsage = 2;

// Names that error reports give scripts that are not files.
constexpr const char* kCodeName = "(command line)";
constexpr const char* kStdinName = "(stdin)";

constexpr const char* kHelp =
    "usage: zorvik [options] script [arguments...]\n"
    "       zorvik -i [arguments...]\n"
    "Runs a zorvik script; the arguments after it reach the script through\n"
    "sys.args (s.args() in sys.z). Without arguments on a terminal, or with -i,\n"
    "starts an interactive session.\n"
    "\n"
    "  -I DIR         look for imports in DIR too (repeatable)\n"
    "  -e CODE        run CODE as the script\n"
    "  -              read the script from standard input\n"
    "  -i             interactive: run entries typed at a prompt (Ctrl-D ends)\n"
    "  --             end of options: the next argument is the script\n"
    "  -h, --help     print this help and exit\n"
    "  -v, --version  print the version and exit\n"
    "\n"
    "Imports are looked up in the script's directory (for -e and -, the working\n"
    "directory), then in the -I directories in their order, then in those of\n"
    "ZORVIK_PATH (separated by ':'), then in the script library.\n"
    "Exit status: 0 after a normal end, 1 after an error, n & 255 after exit(n),\n"
    "2 for an unknown option, 130 after SIGINT and 143 after SIGTERM.\n";

struct Invocation {
    enum Kind { kFile, kCode, kStdin, kSession } kind = kFile;
    std::string script;  // the path, or for -e the code
    std::vector<const char*> arguments;
    std::vector<std::string> importDirs;  // -I, then ZORVIK_PATH
    int status = 0;
};

// The first stopping signal received, 0 while there was none.
std::atomic<int> sSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

// Whether a stopping signal asked for a stop. ZK_Init starts the script's
// interpreter with no request pending, so a signal that came before it (on
// any thread) is asked for again once the interpreter exists.
std::atomic<bool> sStopAsked{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

bool sInteractive = false;

// ZK_Interrupt, remembered for an interpreter that does not exist yet.
void AskToStop() {
    sStopAsked.store(true);
    ZK_Interrupt();
}

// Ends the process as the signal's default action does.
void DefaultAction(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// In a session a SIGINT stops the running entry alone; one more before that
// entry has taken the first ends the process.
void OnSessionSignal(int signal) {
    if (sAtPrompt.load()) {
        if (signal == SIGTERM) DefaultAction(signal);
        return;
    }
    if (signal == SIGINT && ZK_InterruptPending()) DefaultAction(signal);
    if (signal == SIGTERM) sSignal.store(signal);
    AskToStop();
}

void OnStopSignal(int signal) {
    if (sInteractive) {
        OnSessionSignal(signal);
        return;
    }
    if (sSignal.exchange(signal) != 0) {
        // The stop is already under way: the default action, when this
        // handler returns (the signal is blocked until then).
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    AskToStop();
}

// Restarting system calls keep a write that a signal met from losing data;
// a pause is cut short all the same (sys.sleep waits in pselect, which is
// never restarted). A signal ignored when we start, as for a job started in
// the background, stays ignored.
void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    // Each handler blocks the other signal, so that of two the first is the stop.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

// Leaves the stopping signals to the thread that runs the script, so that
// they cut its pauses short.
void BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "zorvik: %s\nTry 'zorvik --help' for more information.\n", message.c_str());
    std::exit(kStatusUsage);
}

// The directories of ZORVIK_PATH, in their order; empty entries name none.
void AddPathVariable(std::vector<std::string>& dirs) {
    const char* value = std::getenv("ZORVIK_PATH");
    if (!value) return;
    std::string list = value;
    for (size_t begin = 0; begin <= list.size();) {
        size_t end = std::min(list.find(':', begin), list.size());
        if (end > begin) dirs.push_back(list.substr(begin, end - begin));
        begin = end + 1;
    }
}

// Reads the -I options and then the one option that may come before the
// script; the rest of the line belongs to the script. Help, version and
// errors end the program here.
Invocation ParseCommandLine(int argc, char** argv) {
    Invocation inv;
    int at = 1;
    for (; at < argc && std::string(argv[at]).starts_with("-I"); ++at) {
        std::string dir = argv[at] + 2;  // -IDIR
        if (dir.empty() && ++at < argc) dir = argv[at];
        if (dir.empty()) UsageError("option -I needs a directory");
        inv.importDirs.push_back(dir);
    }
    AddPathVariable(inv.importDirs);
    if (at == argc) UsageError("a script must follow the options");
    std::string first = argv[at];
    int rest = at + 1;  // index of the script's first argument
    if (first == "-h" || first == "--help") {
        std::fputs(kHelp, stdout);
        std::exit(0);
    } else if (first == "-v" || first == "--version") {
        std::puts("zorvik " ZORVIK_VERSION);
        std::exit(0);
    } else if (first == "-e" || first == "--") {
        if (rest == argc) UsageError(first == "-e" ? "option -e needs the code to run" : "a script must follow --");
        inv.kind = first == "-e" ? Invocation::kCode : Invocation::kFile;
        inv.script = argv[rest++];
    } else if (first == "-") {
        inv.kind = Invocation::kStdin;
    } else if (first == "-i") {
        inv.kind = Invocation::kSession;
    } else if (first[0] == '-') {
        UsageError("unknown option '" + first + "'");
    } else {
        inv.script = first;
    }
    inv.arguments.assign(argv + rest, argv + argc);
    return inv;
}

bool ReadStandardInput(std::string& text) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) text.append(buf, n);
    return !std::ferror(stdin);
}

void* RunScript(void* arg) {
    Invocation& inv = *static_cast<Invocation*>(arg);
    std::string stdinScript;
    if (inv.kind == Invocation::kStdin && !ReadStandardInput(stdinScript)) {
        std::fputs("zorvik: could not read the script from standard input\n", stderr);
        inv.status = kStatusError;
        return nullptr;
    }
    ZK_Init();
    if (sStopAsked.load()) ZK_Interrupt();
    SetupPaths(inv.kind == Invocation::kFile ? inv.script.c_str() : "", inv.importDirs);
    ZK_OpenStandardLibraries();
    ZK_SetScriptArguments(static_cast<int>(inv.arguments.size()), inv.arguments.data());
    if (inv.kind == Invocation::kSession) {
        inv.status = RunSession(sSignal);
        ZK_Terminate();
        bool filesKept = ZK_CloseStandardLibraries();
        bool outputKept = ZK_FinishOutput();
        if ((!filesKept || !outputKept) && inv.status == 0) inv.status = kStatusError;
        return nullptr;
    }
    int32_t result = 0;
    switch (inv.kind) {
        case Invocation::kFile: result = ZK_Run(inv.script.c_str()); break;
        case Invocation::kCode: result = ZK_RunString(kCodeName, inv.script.data(), inv.script.size()); break;
        case Invocation::kStdin: result = ZK_RunString(kStdinName, stdinScript.data(), stdinScript.size()); break;
        case Invocation::kSession: break;
    }
    if (const char* message = ZK_GetExitMessage()) {
        ZK_Write(message, std::strlen(message));
        ZK_Write("\n", 1);
    }
    ZK_Flush();
    // The report line stays on standard output; what helps to find the
    // fault goes to standard error, after it.
    const char* context = ZK_GetErrorContext();
    if (context) ZK_WriteError(context, std::strlen(context));
    inv.status = context ? kStatusError : static_cast<int>(static_cast<uint32_t>(result) & 255);
    ZK_Terminate();
    bool filesKept = ZK_CloseStandardLibraries();
    bool outputKept = ZK_FinishOutput();
    // Lost data is a failure, unless the run already reports one.
    if ((!filesKept || !outputKept) && inv.status == 0) inv.status = kStatusError;
    return nullptr;
}

// The first stack size to try: under an address-space limit at most a
// quarter of it, so that the stack does not starve the script's data.
size_t FirstStackSize() {
    size_t size = kStackSize;
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        while (size > kMinStackSize && size > limit.rlim_cur / 4) size /= 2;
    return size;
}

// Runs the script on a thread with the largest stack that can be created.
bool RunOnLargeStack(Invocation& inv) {
    for (size_t size = FirstStackSize(); size >= kMinStackSize; size /= 2) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_t thread;
        bool started =
            pthread_attr_setstacksize(&attr, size) == 0 && pthread_create(&thread, &attr, RunScript, &inv) == 0;
        pthread_attr_destroy(&attr);
        if (started) {
            BlockStopSignals();
            pthread_join(thread, nullptr);
            return true;
        }
    }
    return false;
}

}  // namespace

}  // namespace zorvik

using namespace zorvik;

int main(int argc, char** argv) {
    Invocation inv;
    if (argc >= 2) {
        inv = ParseCommandLine(argc, argv);
    } else if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        inv.kind = Invocation::kSession;
    } else {
        std::puts("zorvik <source file>");
        return kStatusError;
    }
    sInteractive = inv.kind == Invocation::kSession;
    CatchStopSignals();
    if (!RunOnLargeStack(inv)) RunScript(&inv);  // the main thread's own stack
    // A stopped script ends as shells expect of a program that a signal ended.
    if (int signal = sSignal.load()) return 128 + signal;
    return inv.status;
}
