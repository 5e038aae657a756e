#include "interpreter/call_stack.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "interpreter/runner.h"
#include "interpreter/tokens.h"

namespace zorvik {

namespace {

constexpr size_t kMaxFrameLines = 20;
constexpr size_t kMaxQuote = 160;  // bytes of a quoted line

using Frame = CallFrame::Entry;

struct Source {
    int32_t firstToken;
    std::string text;
};

thread_local std::deque<Source> sSources;  // a deque: stored texts never move

const Token& At(int32_t i) { return sTokens[static_cast<size_t>(i)]; }
bool IsOp(int32_t i, int32_t c) { return At(i).type == TOKEN_OPERATOR && At(i).code == c; }

std::string Position(int32_t token) {
    const Token& t = At(token);
    return FileNameOfToken(token) + ":" + std::to_string(t.line) + ":" + std::to_string(t.column);
}

const Source* SourceStartingAt(int32_t firstToken) {
    for (const Source& s : sSources)
        if (s.firstToken == firstToken) return &s;
    return nullptr;
}

// Line `line` (from 1) of a text, without its line break; false past the end.
bool LineOf(const std::string& text, int32_t line, std::string_view& out) {
    size_t begin = 0;
    for (int32_t n = 1; n < line; ++n) {
        begin = text.find('\n', begin);
        if (begin == std::string::npos) return false;
        ++begin;
    }
    size_t end = text.find('\n', begin);
    out = std::string_view(text).substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (!out.empty() && out.back() == '\r') out.remove_suffix(1);
    return true;
}

// The quoted line and, under it, a caret at `column` (bytes, from 1). Tabs in
// front of the column are kept so that the caret lines up; UTF-8
// continuation bytes take no room on the screen. Other control characters
// are shown as '?', so that a script cannot send terminal commands through a
// report, and a long line is cut to a window around the column.
std::string Quote(std::string_view text, int32_t column, const char* indent) {
    if (text.find_first_not_of(" \t") == std::string_view::npos) return "";  // nothing to point at
    std::string line;
    size_t at = column > 0 ? static_cast<size_t>(column - 1) : 0;
    if (text.size() > kMaxQuote) {
        size_t from = at > kMaxQuote / 2 ? std::min(at - kMaxQuote / 2, text.size() - kMaxQuote) : 0;
        if (from > 0) line = "...";
        line += text.substr(from, kMaxQuote);
        if (from + kMaxQuote < text.size()) line += "...";
        at = at - from + (from > 0 ? 3 : 0);
    } else {
        line = text;
    }
    std::string caret = indent;
    for (size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (i < at) {
            if (c == '\t')
                caret += '\t';
            else if ((c & 0xC0) != 0x80)
                caret += ' ';
        }
        if ((c < 0x20 && c != '\t') || c == 0x7F) line[i] = '?';
    }
    return std::string(indent) + line + "\n" + caret + "^\n";
}

std::string QuoteToken(int32_t token, const char* indent) {
    const Source* source = SourceStartingAt(FileStartOfToken(token));
    std::string_view text;
    if (!source || !LineOf(source->text, static_cast<int32_t>(At(token).line), text)) return "";
    return Quote(text, static_cast<int32_t>(At(token).column), indent);
}

bool InScriptLibrary(int32_t token) {
    const Library* lib = LibraryOfToken(token);
    return lib && lib->scriptLibrary;
}

// One line of the chain: `count` consecutive frames of the same call site
// (a recursion) share a line.
std::string FrameLine(const Frame& f, size_t count, bool firstOfYours) {
    if (f.site == kHostSite) return "  called from the host\n";
    int32_t at = f.kind == CallFrame::kCall ? NameStart(f.site) : f.site;
    std::string line = (f.kind == CallFrame::kCall ? "  called from " : "  imported from ") + Position(at);
    if (count > 1) line += " (" + std::to_string(count) + " times)";
    if (!firstOfYours) return line + "\n";
    return line + "  <-- your code\n" + QuoteToken(at, "    ");
}

}  // namespace

int32_t NameStart(int32_t end) {
    int32_t i = end - 1, first = end;
    while (i >= 0 && At(i).type != TOKEN_EOF) {
        if (IsOp(i, ']')) {  // back to the matching '['
            int32_t depth = 0;
            for (; i >= 0 && At(i).type != TOKEN_EOF; --i) {
                if (IsOp(i, ']')) ++depth;
                if (IsOp(i, '[') && --depth == 0) break;
            }
            if (i < 0 || At(i).type == TOKEN_EOF) break;
            --i;
            continue;
        }
        if (At(i).type != TOKEN_NAME) break;
        first = i;
        if (i == 0 || !IsOp(i - 1, '.')) break;
        i -= 2;
    }
    return first;
}

std::string SourceText(int32_t first, int32_t end) {
    std::string fallback = At(first).type == TOKEN_NAME ? At(first).text : "";
    int32_t start = 0;
    if (const Library* lib = LibraryOfToken(first)) start = lib->firstToken;
    const Source* source = SourceStartingAt(start);
    std::string_view line;
    if (!source || At(end).line != At(first).line || !LineOf(source->text, static_cast<int32_t>(At(first).line), line))
        return fallback;
    size_t from = At(first).column - 1, to = At(end).column - 1;
    if (to <= from || to > line.size()) return fallback;
    std::string text(line.substr(from, to - from));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return ScriptText(text);
}

const std::string& RecordSource(int32_t firstToken, std::string text) {
    return sSources.emplace_back(Source{firstToken, std::move(text)}).text;
}

void ClearSources() { sSources.clear(); }
void ResetCallStack() { CallFrame::Reset(); }

std::string FormatErrorContext(const ErrorSite& site) {
    const auto& frames = CallFrame::Stack();
    std::string out;
    if (const Source* source = site.fileStart >= 0 ? SourceStartingAt(site.fileStart) : nullptr) {
        std::string_view text;
        if (LineOf(source->text, site.line, text)) out += Quote(text, site.column, "  ");
    }
    if (!site.hint.empty()) out += "  hint: " + site.hint + "\n";
    // Innermost first. When the error lies in the script library, the first
    // call made from the user's own code is the one worth reading.
    size_t yours = frames.size();
    if (site.inScriptLibrary)
        for (size_t k = 0; k < frames.size(); ++k)
            if (!InScriptLibrary(frames[frames.size() - 1 - k].site)) {
                yours = k;
                break;
            }
    size_t lines = 0, left = 0;
    for (size_t k = 0; k < frames.size();) {
        const Frame& f = frames[frames.size() - 1 - k];
        size_t count = 1;
        if (k != yours)
            while (k + count < frames.size() && k + count != yours &&
                   frames[frames.size() - 1 - k - count].site == f.site)
                ++count;
        if (lines < kMaxFrameLines || k == yours) {
            if (left) out += "  ... " + std::to_string(left) + " more\n";
            left = 0;
            out += FrameLine(f, count, k == yours);
            ++lines;
        } else {
            left += count;
        }
        k += count;
    }
    if (left) out += "  ... " + std::to_string(left) + " more\n";
    return out;
}

}  // namespace zorvik
