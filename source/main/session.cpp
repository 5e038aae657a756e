// The interactive session. With libedit and a terminal on both ends, lines
// are read with editing and a history kept in ~/.zorvik_history; otherwise
// plain lines are read after the prompt. libedit is loaded when a session
// starts, not linked: a script run never pays for loading it, and the
// interpreter runs without it installed.
#include "main/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "interpreter/zorvik.h"

#ifdef ZORVIK_LIBEDIT
#include <dlfcn.h>
#endif

namespace zorvik {

std::atomic<bool> sAtPrompt{false};

namespace {

constexpr const char* kSessionName = "(interactive)";
constexpr const char* kPrompt = "> ";
constexpr const char* kContinuation = ". ";
constexpr int kHistoryLines = 1000;

#ifdef ZORVIK_LIBEDIT
// The part of libedit's readline interface a session uses, loaded from the
// shared library; Load() is false (and nothing is kept) when it is missing.
class Editline {
  public:
    bool Load() {
        handle_ = dlopen("libedit.so.2", RTLD_NOW | RTLD_LOCAL);
        if (!handle_) return false;
        bool found = Find(catchSignals_, "rl_catch_signals") && Find(readline_, "readline") &&
                     Find(addHistory_, "add_history") && Find(readHistory_, "read_history") &&
                     Find(writeHistory_, "write_history") && Find(usingHistory_, "using_history") &&
                     Find(stifleHistory_, "stifle_history");
        if (!found) {
            dlclose(handle_);
            handle_ = nullptr;
        }
        return found;
    }

    void Start(const std::string& history, int lines) const {
        *catchSignals_ = 0;  // the interpreter's own handlers stay in place
        usingHistory_();
        stifleHistory_(lines);
        if (!history.empty()) readHistory_(history.c_str());
    }
    char* ReadLine(const char* prompt) const { return readline_(prompt); }
    void Remember(const char* line, const std::string& history) const {
        addHistory_(line);
        if (!history.empty()) writeHistory_(history.c_str());
    }

  private:
    template <typename T>
    bool Find(T& to, const char* name) {
        to = reinterpret_cast<T>(dlsym(handle_, name));
        return to != nullptr;
    }

    void* handle_ = nullptr;  // kept open for the rest of the process
    int* catchSignals_ = nullptr;
    char* (*readline_)(const char*) = nullptr;
    int (*addHistory_)(const char*) = nullptr;
    int (*readHistory_)(const char*) = nullptr;
    int (*writeHistory_)(const char*) = nullptr;
    void (*usingHistory_)() = nullptr;
    void (*stifleHistory_)(int) = nullptr;
};
#endif

// Reads the lines of entries and keeps their history.
class LineReader {
  public:
    LineReader() {
#ifdef ZORVIK_LIBEDIT
        editing_ = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && editline_.Load();
        if (!editing_) return;
        if (const char* home = std::getenv("HOME"); home && *home) history_ = std::string(home) + "/.zorvik_history";
        editline_.Start(history_, kHistoryLines);
#endif
    }

    // False at the end of input.
    bool Read(const char* prompt, std::string& line) {
        sAtPrompt.store(true);
        bool got = editing_ ? ReadEdited(prompt, line) : ReadPlain(prompt, line);
        sAtPrompt.store(false);
        return got;
    }

    // Adds a line to the history, written at once so that a session that
    // ends abruptly loses none of it.
    void Remember([[maybe_unused]] const std::string& line) {
#ifdef ZORVIK_LIBEDIT
        if (!editing_ || line.find_first_not_of(" \t") == std::string::npos) return;
        editline_.Remember(line.c_str(), history_);
#endif
    }

  private:
    bool ReadEdited([[maybe_unused]] const char* prompt, [[maybe_unused]] std::string& line) {
#ifdef ZORVIK_LIBEDIT
        char* text = editline_.ReadLine(prompt);
        if (!text) return false;
        line = text;
        std::free(text);
        return true;
#else
        return false;
#endif
    }

    static bool ReadPlain(const char* prompt, std::string& line) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        line.clear();
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') line += static_cast<char>(c);
        if (c == EOF && line.empty()) {
            std::clearerr(stdin);  // on a terminal, input may go on after a Ctrl-D
            return false;
        }
        return true;
    }

#ifdef ZORVIK_LIBEDIT
    Editline editline_;
#endif
    bool editing_ = false;
    std::string history_;
};

// The report of an entry: its line on standard output, what locates the
// fault on standard error.
void ShowEnding() {
    if (const char* message = ZK_GetExitMessage()) std::printf("%s\n", message);
    std::fflush(stdout);
    if (const char* context = ZK_GetErrorContext()) std::fputs(context, stderr);
}

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

int RunSession(const std::atomic<int>& stopSignal) {
    LineReader reader;
    ZK_BeginSession(kSessionName);
    std::string entry;
    int status = 0;
    while (true) {
        std::string line;
        bool got = reader.Read(entry.empty() ? kPrompt : kContinuation, line);
        // What follows a Ctrl-D starts on a line of its own.
        if (!got && isatty(STDOUT_FILENO)) std::putchar('\n');
        if (!got && entry.empty()) break;
        if (got) {
            reader.Remember(line);
            entry += line;
            entry += '\n';
            // An open entry goes on in the next line; the end of input runs
            // it as it stands, so that what is left open is reported.
            if (ZK_EntryIsOpen(entry.data(), entry.size())) continue;
        }
        if (IsBlank(entry)) {
            entry.clear();
            continue;
        }
        bool exited = false;
        int32_t result = ZK_RunEntry(entry.data(), entry.size(), &exited);
        entry.clear();
        ShowEnding();
        if (exited) {
            status = static_cast<int>(static_cast<uint32_t>(result) & 255);
            break;
        }
        if (stopSignal.load() != 0) break;
    }
    ZK_EndSession();
    return status;
}

}  // namespace zorvik
