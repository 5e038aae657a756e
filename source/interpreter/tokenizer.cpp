// Turns a script file into tokens in one pass over its bytes.
//
// Lines and columns count from 1; a tab is one column. Line breaks inside
// block comments and string constants both advance the line, so positions
// reported after them are right. Bytes of 128 and above, and any byte that
// starts no other token, become single-character operator tokens.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <sys/stat.h>

#include "interpreter/call_stack.h"
#include "interpreter/compiled_calls.h"
#include "interpreter/compiled_expressions.h"
#include "interpreter/compiled_statements.h"
#include "interpreter/runner.h"
#include "interpreter/tokens.h"
#include "symbol_table/symbol_table.h"

namespace zorvik {

thread_local constinit ThreadArray<Token> sTokens;

const char* const kReservedWords[RW_COUNT] = {
    "if",         "else",   "while",  "do",  "for",      "break",    "return",  "unref",    "delete",
    "extern",     "and",    "or",     "not", "tostring", "tonumber", "defined", "isnumber", "isstring",
    "isfunction", "sizeof", "length", "ref", "function", "import",   "exit",    "__CALL",   "debug",
};

namespace {

constexpr size_t kMaxNumber = 31;
constexpr size_t kMaxName = 31;
constexpr size_t kMaxString = 255;

// Reads the whole file; false when it cannot be opened or read (a directory
// opens on Linux but fails on the first read).
bool ReadFile(const char* path, std::string& out) {
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    // Sized once for a regular file: a text grown by doubling would leave
    // the blocks it grew through behind.
    struct stat info {};
    if (fstat(fileno(f), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        out.reserve(static_cast<size_t>(info.st_size));
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// Blocks of memory handed out in order and freed all at once: the texts
// and name records live as long as the tokens.
class Arena {
  public:
    void* Allocate(size_t size, size_t align) {
        size_t skip = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
        if (size + skip > left_) {
            size_t block = std::max(size + align, kBlock);
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
            next_ = blocks_.back().get();
            left_ = block;
            skip = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
        }
        char* at = next_ + skip;
        next_ = at + size;
        left_ -= size + skip;
        return at;
    }
    void Clear() {
        blocks_.clear();
        next_ = nullptr;
        left_ = 0;
    }

  private:
    static constexpr size_t kBlock = 16384;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    size_t left_ = 0;
};

thread_local Arena sArena;

// One NUL-terminated copy of each distinct token text and dotted name: a
// generated script names the same few things again and again.
thread_local std::unordered_set<std::string_view> sTexts;

const char* Intern(std::string_view text) {
    auto found = sTexts.find(text);
    if (found != sTexts.end()) return found->data();
    auto* copy = static_cast<char*>(sArena.Allocate(text.size() + 1, 1));
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    sTexts.insert(std::string_view(copy, text.size()));
    return copy;
}

// The shared name records: a plain name is known by its dotted text (a
// pooled pointer), any other by its first part (pooled) and its length.
struct RecordKey {
    const char* text;
    int32_t span;
    bool operator==(const RecordKey&) const = default;
};
struct RecordKeyHash {
    size_t operator()(const RecordKey& key) const {
        return std::hash<const void*>()(key.text) * 31 + static_cast<size_t>(key.span);
    }
};
thread_local std::unordered_map<RecordKey, uint32_t, RecordKeyHash> sNameIndex;  // record number + 1

bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Reads the tokens of one file. Counting only counts them (the array is
// then sized once) and stops quietly at a lexical error, which the real pass
// reports.
template <class Tokens>
class Scanner {
  public:
    struct CountStop {};

    Scanner(const char* path, const std::string& src, int32_t first, Tokens& out)
        : path_(path), src_(src), first_(first), out_(out) {}

    // A probe scans text that may be the start of an entry: a string or
    // comment that the text leaves open is noted instead of reported, and
    // any other fault ends the probe (the real scan reports it).
    struct Stop {};
    void Probe(bool* open) {
        open_ = open;
        try {
            Run();
        } catch (const Stop&) {}
    }

    // The number of tokens Run() appends, or fewer before a lexical error.
    size_t Count() {
        counting_ = true;
        try {
            Run();
        } catch (const CountStop&) {}
        return count_;
    }

    void Run() {
        // A first line "#!..." names the interpreter for the shell; its line
        // break stays, so line numbers are those of the file.
        if (src_.starts_with("#!")) pos_ = std::min(src_.find('\n'), src_.size());
        while (true) {
            if (pos_ >= src_.size()) {
                Add(TOKEN_EOF, line_, column_);
                return;
            }
            unsigned char c = src_[pos_];
            if (c == ' ' || c == '\t' || c == '\r') {
                ++pos_;
                ++column_;
            } else if (c == '\n') {
                ++pos_;
                ++line_;
                column_ = 1;
            } else if (IsDigit(c)) {
                Number();
            } else if (IsLetter(c) || c == '_') {
                Name();
            } else if (c == '"') {
                String();
            } else {
                Operator();
            }
        }
    }

  private:
    [[noreturn]] void Fail(const char* message, uint32_t line, uint32_t column, bool atEnd = false) {
        if (counting_) throw CountStop{};
        if (open_) {
            *open_ = atEnd;
            throw Stop{};
        }
        *sErrorMsg = message;
        sLastLine = static_cast<int32_t>(line);
        sLastCol = static_cast<int32_t>(column);
        TokenizerError(path_, first_);
    }

    Token& Add(int32_t type, uint32_t line, uint32_t column) {
        if (counting_) {
            ++count_;
            return scratch_;
        }
        Token& t = out_.emplace_back();
        t.type = static_cast<uint8_t>(type);
        t.line = line;
        t.column = column;
        return t;
    }

    void Number() {
        size_t start = pos_;
        bool point = false;
        while (pos_ < src_.size()) {
            unsigned char c = src_[pos_];
            if (c == '.' && !point)
                point = true;
            else if (!IsDigit(c))
                break;
            if (pos_ - start == kMaxNumber) Fail("Numeric constant too long", line_, column_);
            ++pos_;
        }
        if (counting_) {
            Add(TOKEN_NUMBER, line_, column_);
        } else {
            std::string text = src_.substr(start, pos_ - start);
            Add(TOKEN_NUMBER, line_, column_).number = std::strtod(text.c_str(), nullptr);
        }
        column_ += static_cast<uint32_t>(pos_ - start);
    }

    void Name() {
        size_t start = pos_;
        while (pos_ < src_.size()) {
            unsigned char c = src_[pos_];
            if (!IsLetter(c) && !IsDigit(c) && c != '_') break;
            if (pos_ - start == kMaxName) Fail("Name too long", line_, column_);
            ++pos_;
        }
        std::string word = src_.substr(start, pos_ - start);
        auto* reserved = static_cast<ReservedWord*>(ST_GetData(sReservedWords, word.c_str()));
        if (reserved) {
            Add(TOKEN_RESERVED, line_, column_).code = static_cast<int16_t>(reserved->code);
        } else {
            Token& t = Add(TOKEN_NAME, line_, column_);
            if (!counting_ && !open_) t.text = Intern(word);
        }
        column_ += static_cast<uint32_t>(pos_ - start);
    }

    void String() {
        uint32_t line = line_, column = column_;
        size_t start = ++pos_;
        ++column_;
        while (true) {
            if (pos_ >= src_.size()) Fail("Unterminated string", line, column, true);
            unsigned char c = src_[pos_];
            if (c == '"') break;
            if (pos_ - start == kMaxString) Fail("String constant too long", line, column);
            // Texts end at a NUL byte: one inside the constant would cut it short.
            if (c == '\0') Fail("NUL character in string constant", line, column);
            Advance(c);
        }
        Token& t = Add(TOKEN_STRING, line, column);
        if (!counting_ && !open_) t.text = Intern(std::string_view(src_).substr(start, pos_ - start));
        ++pos_;
        ++column_;
    }

    // Moves over one character inside a string or comment, counting lines.
    void Advance(unsigned char c) {
        ++pos_;
        if (c == '\n') {
            ++line_;
            column_ = 1;
        } else {
            ++column_;
        }
    }

    void Operator() {
        unsigned char c = src_[pos_];
        int next = pos_ + 1 < src_.size() ? static_cast<unsigned char>(src_[pos_ + 1]) : -1;
        if (c == '/' && next == '/') {
            while (pos_ < src_.size() && src_[pos_] != '\n') ++pos_;
            return;
        }
        if (c == '/' && next == '*') {
            BlockComment();
            return;
        }
        int32_t code = TwoCharCode(c, next);
        Token& t = Add(TOKEN_OPERATOR, line_, column_);
        t.code = static_cast<int16_t>(code ? code : c);
        size_t width = code ? 2 : 1;
        pos_ += width;
        column_ += static_cast<uint32_t>(width);
    }

    static int32_t TwoCharCode(unsigned char c, int next) {
        switch (c) {
            case '+': return next == '+' ? OP_INCREMENT : next == '=' ? OP_ADD_ASSIGN : 0;
            case '-': return next == '-' ? OP_DECREMENT : next == '=' ? OP_SUB_ASSIGN : 0;
            case '*': return next == '=' ? OP_MUL_ASSIGN : 0;
            case '/': return next == '=' ? OP_DIV_ASSIGN : 0;
            case ':': return next == '=' ? OP_DEEP_ASSIGN : 0;
            case '<': return next == '=' ? OP_LE : next == '>' ? OP_NE : 0;
            case '>': return next == '=' ? OP_GE : 0;
            default: return 0;
        }
    }

    void BlockComment() {
        uint32_t starColumn = column_ + 1;
        pos_ += 2;
        column_ += 2;
        while (true) {
            if (pos_ >= src_.size()) Fail("Unterminated comment", line_, starColumn, true);
            unsigned char c = src_[pos_];
            if (c == '*' && pos_ + 1 < src_.size() && src_[pos_ + 1] == '/') {
                pos_ += 2;
                column_ += 2;
                return;
            }
            Advance(c);
        }
    }

    const char* path_;
    const std::string& src_;
    int32_t first_;  // index of this file's first token
    Tokens& out_;
    bool* open_ = nullptr;  // set while probing
    bool counting_ = false;
    size_t count_ = 0;
    Token scratch_;  // what counting "adds" to
    size_t pos_ = 0;
    uint32_t line_ = 1;
    uint32_t column_ = 1;
};

// Pairs every '(', '[' and '{' of the tokens from `first` on with the
// closing token that brings its own kind's depth back to zero.
void MatchBrackets(int32_t first) {
    std::vector<int32_t> parens, brackets, braces;
    for (int32_t i = first; i < TokenCount(); ++i) {
        Token& t = sTokens[static_cast<size_t>(i)];
        if (t.type != TOKEN_OPERATOR) continue;
        std::vector<int32_t>* open = t.code == '(' || t.code == ')'   ? &parens
                                     : t.code == '[' || t.code == ']' ? &brackets
                                     : t.code == '{' || t.code == '}' ? &braces
                                                                      : nullptr;
        if (!open) continue;
        if (t.code == '(' || t.code == '[' || t.code == '{') {
            open->push_back(i);
        } else if (!open->empty()) {
            sTokens[static_cast<size_t>(open->back())].match = i;
            open->pop_back();
        }
    }
}

bool IsOp(int32_t i, int32_t c) {
    const Token& t = sTokens[static_cast<size_t>(i)];
    return t.type == TOKEN_OPERATOR && t.code == c;
}

// Moves i from a '[' to the token after its matching ']'; false, with i on
// the end-of-file token, when there is none.
bool MatchBracket(int32_t& i) {
    int32_t close = sTokens[static_cast<size_t>(i)].match;
    i = close ? close + 1 : FileEnd(i);
    return close != 0;
}

// The parts of a dotted text, hashed, in the arena.
std::span<const KeyPart> PartsOf(std::string_view text) {
    size_t count = static_cast<size_t>(std::count(text.begin(), text.end(), '.')) + 1;
    auto* parts = static_cast<KeyPart*>(sArena.Allocate(count * sizeof(KeyPart), alignof(KeyPart)));
    size_t at = 0;
    for (size_t k = 0; k < count; ++k) {
        size_t dot = text.find('.', at);
        size_t end = dot == std::string_view::npos ? text.size() : dot;
        const char* p = text.data() + at;
        parts[k] = {p, static_cast<uint32_t>(end - at), HT_RawHash(p, end - at)};
        at = end + 1;
    }
    return {parts, count};
}

}  // namespace

thread_local constinit ThreadArray<const NameInfo*> sNameRecords;

// A name part is ended by anything but '.' and '['; a name directly after
// ']' starts a new item.
const NameInfo& FindNameInfo(int32_t first) {
    Token& head = sTokens[static_cast<size_t>(first)];
    std::string text = head.text;
    bool plain = true;
    int32_t i = first + 1;
    while (true) {
        if (IsOp(i, '.')) {
            if (sTokens[static_cast<size_t>(i) + 1].type != TOKEN_NAME) {  // composing reports "Expected name"
                plain = false;
                i += 1;
                break;
            }
            text += '.';
            text += sTokens[static_cast<size_t>(i) + 1].text;
            i += 2;
        } else if (IsOp(i, '[')) {
            plain = false;
            if (!MatchBracket(i)) break;
        } else {
            break;
        }
    }
    int32_t span = i - first;
    const char* pooled = plain ? Intern(text) : head.text;
    RecordKey key{pooled, plain ? 0 : span};
    uint32_t& record = sNameIndex[key];
    if (!record) {
        auto* info = static_cast<NameInfo*>(sArena.Allocate(sizeof(NameInfo), alignof(NameInfo)));
        new (info) NameInfo{head.text, span, plain, plain ? std::string_view(pooled) : std::string_view(),
                            plain ? PartsOf(pooled) : std::span<const KeyPart>()};
        sNameRecords.push_back(info);
        record = static_cast<uint32_t>(sNameRecords.size());
    }
    head.nameRecord = record;
    return *sNameRecords[record - 1];
}

namespace {}  // namespace

void Tokenize(const char* path) {
    if (TryTokenize(path, path)) return;
    *sErrorMsg = std::string("Could not open \"") + path + "\"";
    TokenizerError(path);
}

bool TryTokenize(const char* path, const char* name) {
    std::string source;
    if (!ReadFile(path, source)) return false;
    TokenizeText(name, std::move(source));
    return true;
}

void TokenizeText(const char* name, std::string source) {
    int32_t first = TokenCount();
    // The text is kept for the run, so that error reports can quote it.
    const std::string& text = RecordSource(first, std::move(source));
    Scanner scanner(name, text, first, sTokens);
    // The array is sized once: growing it by doubling would hold the old and
    // the new copy at once. The first file (the script) leaves room for the
    // libraries it imports, so that they rarely move it.
    size_t need = sTokens.size() + Scanner(name, text, first, sTokens).Count();
    if (need > sTokens.capacity()) {
        size_t room =
            sTokens.empty() ? need + std::max<size_t>(need / 16, 16384) : std::max(need, sTokens.capacity() * 3 / 2);
        sTokens.reserve(room);
    }
    scanner.Run();
    MatchBrackets(first);
}

bool TextIsOpen(const std::string& text) {
    std::vector<Token> tokens;
    bool open = false;
    Scanner("", text, 0, tokens).Probe(&open);
    if (open) return true;
    int32_t depth = 0;
    for (const Token& t : tokens) {
        if (t.type != TOKEN_OPERATOR) continue;
        if (t.code == '(' || t.code == '[' || t.code == '{') ++depth;
        if (t.code == ')' || t.code == ']' || t.code == '}') --depth;
    }
    return depth > 0;
}

int32_t FileEnd(int32_t i) {
    while (sTokens[static_cast<size_t>(i)].type != TOKEN_EOF) ++i;
    return i;
}

void ClearTokens() {
    ClearCompiled();  // trees and statements refer to tokens by index
    ClearCompiledStatements();
    ClearCompiledCalls();
    ClearTokenFacts();
    sTokens.Release();
    sNameIndex.clear();
    sNameRecords.Release();
    sTexts.clear();
    sArena.Clear();
}

}  // namespace zorvik
