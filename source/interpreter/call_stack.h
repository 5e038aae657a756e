// What an error report shows on standard error besides its one line on
// standard output: the source line of the error with a caret under the
// column, a hint when one applies, and the chain of calls and imports in
// progress.
//
// Invariants:
//  - A CallFrame lives exactly as long as the call or import it stands for;
//    frames are only pushed and popped by these RAII owners, so the stack is
//    empty between runs and complete while an error report is formatted
//    (the report is built before the run unwinds).
//  - A frame holds a token index, never a pointer: tokenizing an import may
//    move the token array.
//  - The text of every file tokenized in a run is kept until the run ends,
//    keyed by the index of the file's first token.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/per_thread.h"

namespace zorvik {

// The site of a call that the host made (ZK_Call): no token of the script.
constexpr int32_t kHostSite = -1;

// One call or import in progress, recorded for error reports. Inline: every
// call makes one.
class CallFrame {
  public:
    enum Kind { kCall, kImport };
    struct Entry {
        Kind kind;
        int32_t site;
    };
    // `site`: index of the token that the report points at for this frame
    // (the '(' of a call, the word `import`), or kHostSite.
    CallFrame(Kind kind, int32_t site) { sStack.push_back(Entry{kind, site}); }
    ~CallFrame() { sStack.pop_back(); }
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

    // The frames in progress, innermost last.
    static const ThreadArray<Entry>& Stack() { return sStack; }
    static void Reset() { sStack.clear(); }

  private:
    static inline thread_local constinit ThreadArray<Entry> sStack;
};

// Keeps the text of a file whose tokens start at firstToken, for quoting.
// Returns the stored copy, which stays put until ClearSources.
const std::string& RecordSource(int32_t firstToken, std::string text);
void ClearSources();
void ResetCallStack();

// Where an error lies and which file it lies in.
struct ErrorSite {
    int32_t line = 0, column = 0;
    int32_t fileStart = -1;        // first token of the file to quote, -1: none
    bool inScriptLibrary = false;  // the error was raised inside the script library
    std::string hint;              // one line of advice, "" for none
};

// The first token of the name that ends just before token `end`
// (`obj.list[i].m` in `obj.list[i].m(x)`), or `end` itself when no name
// ends there. Only tokens of the same file are looked at.
int32_t NameStart(int32_t end);
// The script text of tokens [first, end) as written (cut to a readable
// length, control characters shown as '?') when `end` stands on the same
// line; else the text of `first`, when it is a name.
std::string SourceText(int32_t first, int32_t end);

// The lines for standard error (each ending in '\n'), or "" when there is
// nothing to show: the quoted line and its caret, the hint, the calls.
std::string FormatErrorContext(const ErrorSite& site);

}  // namespace zorvik
