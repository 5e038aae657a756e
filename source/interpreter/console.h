// Standard output, standard error and standard input as scripts see them:
// every byte the interpreter writes or reads on a script's behalf passes
// through here, so that a host can put callbacks of its own in their place
// (ZK_SetOutput, ZK_SetErrorOutput, ZK_SetInput).
//
// Without a callback each stream is the C one (stdout, stderr, stdin), used
// with the same stdio calls as ever, so buffering, flushing and error
// indicators are those of stdio. With an output callback the bytes are
// gathered here and handed over when the buffer fills and at every
// ZK_Flush (the end of each run, before a read of input, a pause or a
// shell command); the error callback gets each message whole. The
// callbacks stay set until set again, across ZK_Terminate.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

namespace zorvik {

// Script output: a C string (up to its NUL, as fputs), a byte, and
// printf-style formatting.
void WriteOut(const char* text);
void WriteOutChar(char c);
void WriteOutF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message of the interpreter's own about lost output or input, written
// whole to the error output.
void WriteErrorLine(const std::string& line);

// After a run that ended in an error: its report line and context, given to
// the error callback when the host set one (without one the report is only
// kept for ZK_GetExitMessage, as the run prints nothing of its own).
void DeliverErrorReport(const std::string& report, const std::string& context);

// One line of standard input without its '\n' (a '\r' before it stays), as
// a block for Var_TakeString; null at the end of input. A read error ends
// the input for good: it is named once on the error output and every later
// read gives null. A last line without its break is returned, and the end
// is met by the next read.
std::unique_ptr<char, decltype(&std::free)> ReadInputLine();
// Whether a read met the end of input or failed.
bool InputAtEnd();

}  // namespace zorvik
