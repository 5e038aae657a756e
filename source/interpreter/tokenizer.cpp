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

#include "interpreter/call_stack.h"
#include "interpreter/compiled_calls.h"
#include "interpreter/compiled_expressions.h"
#include "interpreter/compiled_statements.h"
#include "interpreter/runner.h"
#include "interpreter/tokens.h"
#include "symbol_table/symbol_table.h"

std::vector<Token> sTokens;

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
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

std::unique_ptr<char[]> CopyText(const char* begin, size_t length) {
    std::unique_ptr<char[]> text(new char[length + 1]);
    std::memcpy(text.get(), begin, length);
    text[length] = '\0';
    return text;
}

bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

class Scanner {
  public:
    Scanner(const char* path, const std::string& src, int32_t first, std::vector<Token>& out)
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
        if (open_) {
            *open_ = atEnd;
            throw Stop{};
        }
        sErrorMsg = message;
        sLastLine = static_cast<int32_t>(line);
        sLastCol = static_cast<int32_t>(column);
        TokenizerError(path_, first_);
    }

    Token& Add(int32_t type, uint32_t line, uint32_t column) {
        Token& t = out_.emplace_back();
        t.type = type;
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
        std::string text = src_.substr(start, pos_ - start);
        Add(TOKEN_NUMBER, line_, column_).number = std::strtod(text.c_str(), nullptr);
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
            Add(TOKEN_RESERVED, line_, column_).code = reserved->code;
        } else {
            Add(TOKEN_NAME, line_, column_).text = CopyText(word.data(), word.size());
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
        Add(TOKEN_STRING, line, column).text = CopyText(src_.data() + start, pos_ - start);
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
        t.code = code ? code : c;
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
    std::vector<Token>& out_;
    bool* open_ = nullptr;  // set while probing
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

}  // namespace

void Tokenize(const char* path) {
    if (TryTokenize(path, path)) return;
    sErrorMsg = std::string("Could not open \"") + path + "\"";
    TokenizerError(path);
}

bool TryTokenize(const char* path, const char* name) {
    std::string source;
    if (!ReadFile(path, source)) return false;
    TokenizeText(name, std::move(source));
    return true;
}

void TokenizeText(const char* name, std::string source) {
    if (sTokens.capacity() == 0) sTokens.reserve(10000);
    int32_t first = TokenCount();
    // The text is kept for the run, so that error reports can quote it.
    Scanner(name, RecordSource(first, std::move(source)), first, sTokens).Run();
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
    std::vector<Token>().swap(sTokens);
}
