// Two threads, each with an interpreter of its own, running scripts at the
// same time: loops, calls, records, the string library, a native with a
// context, output through a callback of each thread's own, a run that fails;
// then stops asked for one interpreter (ZK_InterruptInterpreter) and for all
// (ZK_Interrupt). Every result is checked exactly, against values computed
// here. Built as it is for the usual suite, and under ThreadSanitizer by the
// tsan preset, where a shared datum that two interpreters touch is a report.
//
// Usage: threads LIBRARY_DIR. Prints one line per failed check and a closing
// "threads: N passed, N failed"; the status is 0 when none failed.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interpreter/zorvik.h"

namespace {

const char* sLibrary = "";

// Checks are made on several threads at once.
std::atomic<int> sPassed{0}, sFailed{0};

void Check(bool ok, const std::string& what) {
    if (ok) {
        ++sPassed;
        return;
    }
    ++sFailed;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

void CheckEqual(const std::string& got, const std::string& want, const std::string& what) {
    Check(got == want, what + ": got \"" + got + "\", want \"" + want + "\"");
}

// A one-way signal from one thread to others; waiting has no time limit.
class Latch {
  public:
    void Set() {
        std::lock_guard<std::mutex> hold(lock_);
        set_ = true;
        changed_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return set_; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool set_ = false;
};

// Releases the waiting threads once `count` have arrived, so that their
// runs overlap.
class StartLine {
  public:
    explicit StartLine(int count) : left_(count) {}
    void Arrive() {
        std::unique_lock<std::mutex> hold(lock_);
        if (--left_ == 0) changed_.notify_all();
        changed_.wait(hold, [this] { return left_ == 0; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    int left_;
};

// The output callback: each thread's runs write to a string of its own.
bool Capture(void* user, const char* data, size_t length) {
    static_cast<std::string*>(user)->append(data, length);
    return true;
}

// host.count, registered with a context per thread: counts its calls there.
void CountCall() {
    auto* calls = static_cast<int*>(ZK_NativeContext());
    ZK_SetNumber(ZK_CreateLocalVariable("r"), ++*calls);
}

// host.signal: sets the Latch it was registered with.
void SignalCall() { static_cast<Latch*>(ZK_NativeContext())->Set(); }

// host.gate: waits for its Latch, then tells whether a stop is pending for
// this thread's run (1) or not (0).
void GateCall() {
    static_cast<Latch*>(ZK_NativeContext())->Wait();
    ZK_SetNumber(ZK_CreateLocalVariable("r"), ZK_InterruptPending() ? 1 : 0);
}

// One thread's interpreter, made and ended in the thread.
class Interpreter {
  public:
    explicit Interpreter(const char* argument) {
        ZK_Init();
        ZK_AddLibrarySearchPath(sLibrary);
        ZK_OpenStandardLibraries();
        ZK_SetOutput(Capture, &output_);
        const char* arguments[] = {argument};
        ZK_SetScriptArguments(1, arguments);
        ZK_RegisterNativeFuncWithContext("host.count", CountCall, &calls_);
    }
    ~Interpreter() {
        ZK_CloseStandardLibraries();
        ZK_Terminate();
    }
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    int32_t Run(const std::string& name, const std::string& script) {
        output_.clear();
        int32_t status = ZK_RunString(name.c_str(), script.data(), script.size());
        ZK_Flush();
        return status;
    }
    const std::string& Output() const { return output_; }

    // The message of the last run's error report; "" after a run without one.
    static std::string ErrorMessage() {
        const char* message = nullptr;
        return ZK_GetError(nullptr, nullptr, nullptr, &message) ? message : "";
    }

  private:
    std::string output_;
    int calls_ = 0;
};

long long Fib(int n) { return n < 2 ? n : Fib(n - 1) + Fib(n - 2); }

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// What one thread runs: its own name, sizes and argument.
struct Work {
    std::string name;  // lower case letters
    int fib;
    int loop;
    std::string argument;
};

// A script over loops, recursive calls, a record with a method, the string
// and sys libraries, the script arguments and the counting native.
std::string WorkScript(const Work& w) {
    return "s := import(\"sys.z\");\n"
           "st := import(\"string.z\");\n"
           "fib = function (n) { if (n < 2) { return n; } return this(n - 1) + this(n - 2); };\n"
           "count = function () { __CALL \"host.count\"; return r; };\n"
           "total = 0;\n"
           "i = 0;\n"
           "while (i < " +
           std::to_string(w.loop) +
           ") { total += i * i; i++; }\n"
           "acc.name = \"" +
           w.name +
           "\";\n"
           "acc.hits = 0;\n"
           "acc.hit = function (k) { self.hits += k; return self.hits; };\n"
           "j = 0;\n"
           "while (j < 10) { acc.hit(j); j++; }\n"
           "c = 0;\n"
           "k = 0;\n"
           "while (k < 5) { c = count(); k++; }\n"
           "a := s.args();\n"
           "parts := st.split(acc.name + \",\" + a[0], \",\");\n"
           "s.wln(st.upper(parts[0]) + \" \" + tostring(fib(" +
           std::to_string(w.fib) +
           ")));\n"
           "s.wln(tostring(total) + \" \" + tostring(acc.hits) + \" \" + parts[1] + \" \" + tostring(c));\n";
}

// What WorkScript prints in the run-th run (from 0) of an interpreter.
std::string WorkOutput(const Work& w, int run) {
    long long total = 0;
    for (long long i = 0; i < w.loop; ++i) total += i * i;
    return Upper(w.name) + " " + std::to_string(Fib(w.fib)) + "\n" + std::to_string(total) + " 45 " + w.argument + " " +
           std::to_string(5 * (run + 1)) + "\n";
}

// Runs the work several times, and a failing script between, on one thread.
void RunWork(const Work& w, StartLine& start) {
    Interpreter interpreter(w.argument.c_str());
    const std::string script = WorkScript(w);
    // The error lies on a line of its own for each thread.
    const std::string failing = std::string(w.name.size(), '\n') + "x = 1;\ny = x + missing;\n";
    const std::string failingName = "fail-" + w.name + ".z";
    start.Arrive();
    for (int run = 0; run < 12; ++run) {
        int32_t status = interpreter.Run(w.name + ".z", script);
        Check(status == 0, w.name + ": run " + std::to_string(run) + " status " + std::to_string(status) + " " +
                               Interpreter::ErrorMessage());
        CheckEqual(interpreter.Output(), WorkOutput(w, run), w.name + ": output of run " + std::to_string(run));

        status = interpreter.Run(failingName, failing);
        Check(status == ERROR_EXIT, w.name + ": the failing run gives ERROR_EXIT");
        const char* file = nullptr;
        const char* message = nullptr;
        int32_t line = 0, column = 0;
        Check(ZK_GetError(&file, &line, &column, &message), w.name + ": ZK_GetError after the failing run");
        CheckEqual(file ? file : "(null)", failingName, w.name + ": error file");
        Check(line == static_cast<int32_t>(w.name.size()) + 2 && column == 16,
              w.name + ": error at " + std::to_string(line) + ":" + std::to_string(column));
        CheckEqual(message ? message : "(null)", "+ is undefined between numbers and undefined",
                   w.name + ": error message");
        CheckEqual(interpreter.Output(), "", w.name + ": the failing run writes nothing");
    }
}

void TwoThreadsAtOnce() {
    StartLine start(2);
    Work ada{"ada", 17, 3000, "first"};
    Work grace{"grace", 15, 5000, "second"};
    std::thread one(RunWork, std::cref(ada), std::ref(start));
    std::thread two(RunWork, std::cref(grace), std::ref(start));
    one.join();
    two.join();
}

const char kEndless[] =
    "signal = function () { __CALL \"host.signal\"; };\n"
    "x = 0;\n"
    "signal();\n"
    "while (1) { x++; }\n";

// Runs an endless loop that signals `running` once it has started; checks
// that the run ends with "Interrupted" and that the next run is not stopped.
void RunEndless(const std::string& who, Latch& running, ZK_Interpreter** self, Latch* stopped) {
    Interpreter interpreter("endless");
    ZK_RegisterNativeFuncWithContext("host.signal", SignalCall, &running);
    if (self) *self = ZK_CurrentInterpreter();  // read by the main thread after `running`
    int32_t status = interpreter.Run(who + ".z", kEndless);
    Check(status == ERROR_EXIT, who + ": the endless loop gives ERROR_EXIT");
    CheckEqual(Interpreter::ErrorMessage(), "Interrupted", who + ": the endless loop's error");
    if (stopped) stopped->Set();
    status = interpreter.Run(who + "-after.z", "s := import(\"sys.z\");\ns.wln(\"after\");\n");
    Check(status == 0, who + ": the run after the stop is not stopped");
    CheckEqual(interpreter.Output(), "after\n", who + ": output after the stop");
}

// ZK_InterruptInterpreter stops one thread's endless loop while the other
// thread's run goes on, in a native that waits until the first has stopped,
// and ends as it would have without the stop.
void InterruptOne() {
    Latch running, stopped;
    ZK_Interpreter* looper = nullptr;
    std::thread endless(RunEndless, "looper", std::ref(running), &looper, &stopped);
    Work w{"bob", 12, 200, "third"};
    std::thread worker([&w, &stopped] {
        Interpreter interpreter(w.argument.c_str());
        ZK_RegisterNativeFuncWithContext("host.gate", GateCall, &stopped);
        const std::string script =
            "gate = function () { __CALL \"host.gate\"; return r; };\n"
            "pending = gate();\n" +
            WorkScript(w) + "s.wln(\"pending \" + tostring(pending));\n";
        int32_t status = interpreter.Run("bob.z", script);
        Check(status == 0, "bob: status " + std::to_string(status) + " " + Interpreter::ErrorMessage());
        CheckEqual(interpreter.Output(), WorkOutput(w, 0) + "pending 0\n", "bob: output around the other's stop");
    });
    running.Wait();
    ZK_InterruptInterpreter(looper);
    endless.join();
    worker.join();
}

// ZK_Interrupt reaches every interpreter that exists: two running loops
// stop, and an interpreter between runs stops its next run at its first
// statement. An interpreter made after the request has none pending.
void InterruptAll() {
    Latch oneRunning, twoRunning, idleMade, asked;
    std::thread one(RunEndless, "one", std::ref(oneRunning), nullptr, nullptr);
    std::thread two(RunEndless, "two", std::ref(twoRunning), nullptr, nullptr);
    std::thread idle([&idleMade, &asked] {
        Interpreter interpreter("idle");
        idleMade.Set();
        asked.Wait();
        int32_t status = interpreter.Run("idle.z", "s := import(\"sys.z\");\ns.wln(\"ran\");\n");
        Check(status == ERROR_EXIT, "idle: a run after the request is stopped");
        CheckEqual(Interpreter::ErrorMessage(), "Interrupted", "idle: its error");
        CheckEqual(interpreter.Output(), "", "idle: the stopped run writes nothing");
        status = interpreter.Run("idle.z", "s := import(\"sys.z\");\ns.wln(\"ran\");\n");
        Check(status == 0, "idle: the next run goes on");
        CheckEqual(interpreter.Output(), "ran\n", "idle: its output");
    });
    oneRunning.Wait();
    twoRunning.Wait();
    idleMade.Wait();
    ZK_Interrupt();
    asked.Set();
    one.join();
    two.join();
    idle.join();
    std::thread later([] {
        Interpreter interpreter("later");
        int32_t status = interpreter.Run("later.z", "s := import(\"sys.z\");\ns.wln(\"ran\");\n");
        Check(status == 0, "later: ZK_Init starts with no request pending");
        CheckEqual(interpreter.Output(), "ran\n", "later: its output");
    });
    later.join();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: threads LIBRARY_DIR\n");
        return 2;
    }
    sLibrary = argv[1];
    TwoThreadsAtOnce();
    InterruptOne();
    InterruptAll();
    std::printf("threads: %d passed, %d failed\n", sPassed.load(), sFailed.load());
    return sFailed.load() == 0 ? 0 : 1;
}
