// The script's standard streams: C stdio by default, the host's callbacks
// when it set them (see console.h for the rules).
#include "interpreter/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/checked_alloc.h"
#include "interpreter/natives.h"

namespace zorvik {

namespace {

struct Sink {
    ZK_WriteFunc write = nullptr;
    void* user = nullptr;
};

thread_local constinit Sink sOut, sErr;
// Output gathered for sOut; handed over whole once it reaches this size.
constexpr size_t kOutputChunk = 8192;
thread_local std::string sPending;
// Some output was lost: the output callback refused it, or stdout failed
// to flush when the callback took its place.
thread_local constinit bool sOutputLost = false;

// Input from the host's callback: bytes read but not yet returned as lines.
struct HookedInput {
    ZK_ReadFunc read = nullptr;
    void* user = nullptr;
    std::string pending;
    size_t scanned = 0;  // bytes of `pending` known to hold no '\n'
    bool ended = false;
    bool failed = false;
};
thread_local HookedInput sIn;

constexpr size_t kInputChunk = 4096;

// Hands the gathered output to the callback. The buffer is emptied first,
// so that a callback that writes again appends to a fresh one.
void HandOver() {
    if (sPending.empty()) return;
    std::string chunk;
    chunk.swap(sPending);
    if (!sOut.write(sOut.user, chunk.data(), chunk.size())) sOutputLost = true;
    if (sPending.empty()) {
        chunk.clear();
        chunk.swap(sPending);  // keep the block for the next output
    }
}

void Append(const char* data, size_t length) {
    sPending.append(data, length);
    if (sPending.size() >= kOutputChunk) HandOver();
}

using Line = std::unique_ptr<char, decltype(&std::free)>;

Line NoLine() { return Line(nullptr, &std::free); }

Line Block(const std::string& text) {
    Line line(static_cast<char*>(CheckedMalloc(text.size() + 1)), &std::free);
    std::memcpy(line.get(), text.data(), text.size());
    line.get()[text.size()] = '\0';
    return line;
}

Line ReadStdinLine() {
    if (std::ferror(stdin)) return NoLine();
    char* raw = nullptr;
    size_t capacity = 0;
    ssize_t length = getline(&raw, &capacity, stdin);
    int error = errno;
    Line line(raw, &std::free);
    if (length <= 0) {
        if (std::ferror(stdin))
            WriteErrorLine(std::string("zorvik: could not read standard input: ") + std::strerror(error));
        return NoLine();
    }
    if (line.get()[length - 1] == '\n')
        line.get()[length - 1] = '\0';
    else if (!std::ferror(stdin))
        std::clearerr(stdin);  // a last line without its break: the end is met by the next read
    return line;
}

// Takes the first line out of the pending bytes.
Line TakeLine(size_t length, size_t skip) {
    Line line = Block(sIn.pending.substr(0, length));
    sIn.pending.erase(0, length + skip);
    sIn.scanned = 0;
    return line;
}

// The same rules as for stdin. A source that fails after part of a line
// gives that part, so nothing that arrived is lost.
Line ReadHookedLine() {
    if (sIn.ended || sIn.failed) return NoLine();
    while (true) {
        size_t end = sIn.pending.find('\n', sIn.scanned);
        if (end != std::string::npos) return TakeLine(end, 1);
        sIn.scanned = sIn.pending.size();
        char chunk[kInputChunk];
        ptrdiff_t got = sIn.read(sIn.user, chunk, sizeof chunk);
        if (got < 0 || static_cast<size_t>(got) > sizeof chunk) {
            sIn.failed = true;
            WriteErrorLine("zorvik: could not read standard input");
            return sIn.pending.empty() ? NoLine() : TakeLine(sIn.pending.size(), 0);
        }
        if (got == 0) {
            if (!sIn.pending.empty()) return TakeLine(sIn.pending.size(), 0);
            sIn.ended = true;
            return NoLine();
        }
        sIn.pending.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace

void WriteOut(const char* text) {
    if (sOut.write)
        Append(text, std::strlen(text));
    else
        std::fputs(text, stdout);
}

void WriteOutChar(char c) {
    if (sOut.write)
        Append(&c, 1);
    else
        std::putchar(static_cast<unsigned char>(c));
}

void WriteOutF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (!sOut.write) {
        std::vprintf(format, args);
        va_end(args);
        return;
    }
    char text[256];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (n >= static_cast<int>(sizeof text)) {
        std::string longer(static_cast<size_t>(n), '\0');
        std::vsnprintf(longer.data(), longer.size() + 1, format, args);
        Append(longer.data(), longer.size());
    } else if (n > 0) {
        Append(text, static_cast<size_t>(n));
    }
    va_end(args);
}

void WriteErrorLine(const std::string& line) {
    std::string text = line + "\n";
    ZK_WriteError(text.data(), text.size());
}

void DeliverErrorReport(const std::string& report, const std::string& context) {
    if (!sErr.write) return;
    std::string text = report + "\n" + context;
    sErr.write(sErr.user, text.data(), text.size());
}

std::unique_ptr<char, decltype(&std::free)> ReadInputLine() { return sIn.read ? ReadHookedLine() : ReadStdinLine(); }

bool InputAtEnd() { return sIn.read ? sIn.ended || sIn.failed : std::feof(stdin) || std::ferror(stdin); }

}  // namespace zorvik

using namespace zorvik;

void ZK_SetOutput(ZK_WriteFunc write, void* user) {
    // What was written so far goes where it was meant to go, in order.
    if (sOut.write)
        HandOver();
    else if (std::fflush(stdout) != 0)
        sOutputLost = true;
    sOut = Sink{write, user};
}

void ZK_SetErrorOutput(ZK_WriteFunc write, void* user) { sErr = Sink{write, user}; }

void ZK_SetInput(ZK_ReadFunc read, void* user) {
    sIn = HookedInput{};
    sIn.read = read;
    sIn.user = user;
}

void ZK_Write(const char* data, size_t length) {
    if (sOut.write)
        Append(data, length);
    else
        std::fwrite(data, 1, length, stdout);
}

void ZK_WriteError(const char* data, size_t length) {
    if (sErr.write)
        sErr.write(sErr.user, data, length);
    else
        std::fwrite(data, 1, length, stderr);
}

void ZK_Flush() {
    if (sOut.write)
        HandOver();
    else
        std::fflush(stdout);
}

bool ZK_FinishOutput() {
    bool kept;
    if (sOut.write) {
        HandOver();
        kept = !sOutputLost;
    } else {
        // The error flag stays set after a failed write, so an earlier loss
        // shows here even when this last flush has nothing left to write.
        bool flushed = std::fflush(stdout) == 0;
        kept = flushed && !std::ferror(stdout) && !sOutputLost;
    }
    if (kept) return true;
    sOutputLost = false;  // said once; a host that goes on starts afresh
    WriteErrorLine("zorvik: could not write standard output");
    return false;
}
