#include "interpreter/cursor.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/runner.h"
#include "memory_manager/memory_manager.h"

namespace zorvik {

thread_local constinit int32_t sToken = 0;
thread_local constinit int32_t sNextType = TOKEN_EOF;
thread_local constinit int32_t sNextChar = 0;
thread_local constinit int32_t sNextReserved = 0;
thread_local constinit double sNextNumber = 0;
thread_local constinit const char* sNextString = "";

// Makes the two kinds of NameKey; only the cursor composes names.
class NameKeyBuilder {
  public:
    static NameKey Plain(const NameInfo& info, int64_t scope) {
        NameKey key;
        key.plain_ = &info;
        key.scope_ = scope;
        return key;
    }
    static NameKey Composed(std::string path) {
        NameKey key;
        key.path_ = std::move(path);
        return key;
    }
};

namespace {

// The lookahead name: where it lies, the scope it was read in and whether
// sNameKey holds its key. prevLine/prevCol is the position recorded before
// the name, which errors raised while composing it report. Trivially
// destructible, apart from the key, so that every token read reaches it
// with no TLS guard; only composing and NextKey touch sNameKey.
struct NameLookahead {
    int32_t first = 0;
    int32_t end = 0;
    bool global = false;
    int64_t scope = 0;
    bool composed = false;
    int32_t line = 0, col = 0, prevLine = 0, prevCol = 0;
};

thread_local constinit NameLookahead sName;
thread_local NameKey sNameKey;  // the key of sName once it is composed

const Token& At(int32_t i) { return sTokens[static_cast<size_t>(i)]; }
bool IsOp(int32_t i, int32_t c) { return At(i).type == TOKEN_OPERATOR && At(i).code == c; }

// The extent of the name at token i, found on the first visit and kept for
// the token (every name read asks: kept small enough to be inlined).
inline const NameInfo& NameInfoAt(int32_t first) {
    uint32_t record = At(first).nameRecord;
    return record ? *sNameRecords[record - 1] : FindNameInfo(first);
}

// Appends the evaluated index in the register to the key.
void AppendIndex(std::string& key) {
    switch (sRegister.type) {
        case VAR_NUMBER: {
            double t = std::trunc(sRegister.value.number);
            if (std::isnan(t)) Error("Index is not a number");
            if (t < INT32_MIN || t > INT32_MAX) Error("Index out of range");
            key += std::to_string(static_cast<int32_t>(t));
            return;
        }
        case VAR_STRING: {
            const char* s = sRegister.value.string;
            if (!ValidateUserKey(s)) ErrorF("Invalid key \"%s\"", ScriptText(s).c_str());
            key += s;
            Var_Free(&sRegister);
            return;
        }
        case VAR_UNDEFINED: Error("Can't index array with undefined");
        case VAR_FUNCTION: Error("Can't index array with function");
        default: Error("Syntax error");
    }
}

// "N." for scope N, cached: most names are composed in the same scope as the last.
const std::string& ScopePrefix(int64_t scope) {
    thread_local constinit int64_t cached = -1;
    thread_local std::string prefix;
    if (scope != cached) {
        prefix = std::to_string(scope) + ".";
        cached = scope;
    }
    return prefix;
}

// Evaluates the bracketed indexes of the lookahead name and builds its key.
// The evaluation moves the cursor; afterwards the lookahead is the name again.
void Compose() {
    const NameInfo& info = NameInfoAt(sName.first);
    bool prefixed = !sName.global && sName.scope > 0;
    if (info.plain) {  // nothing to evaluate
        sNameKey = NameKeyBuilder::Plain(info, prefixed ? sName.scope : 0);
        sName.composed = true;
        return;
    }
    DepthGuard guard;
    NameLookahead look = sName;
    std::string key = prefixed ? ScopePrefix(look.scope) : std::string();
    sLastLine = look.prevLine;
    sLastCol = look.prevCol;
    int32_t i = look.first;
    while (true) {
        key += At(i).text;
        ++i;
        // After a name part, and after each ']': '.' or '[' continue the name.
        while (IsOp(i, '[')) {
            key += '.';
            sToken = i + 1;
            GetNext(false);
            Expression();
            AppendIndex(key);
            if (!NextIsOp(']')) Error("Expected ]");
            i = sToken;
        }
        if (!IsOp(i, '.')) break;
        key += '.';
        ++i;
        if (At(i).type != TOKEN_NAME) Error("Expected name");
    }
    look.end = i;
    look.composed = true;
    sNameKey = NameKeyBuilder::Composed(std::move(key));
    sName = look;
    sNextType = TOKEN_NAME;
    sToken = i;
    sLastLine = sName.line;
    sLastCol = sName.col;
}

}  // namespace

void GetNext(bool global) {
    if (sToken >= TokenCount()) sToken = TokenCount() - 1;  // only an EOF lies there
    const Token& t = At(sToken);
    sNextType = t.type;
    int32_t line = static_cast<int32_t>(t.line), col = static_cast<int32_t>(t.column);
    switch (t.type) {
        case TOKEN_OPERATOR:
            sNextChar = t.code;
            ++sToken;
            break;
        case TOKEN_NUMBER:
            sNextNumber = t.number;
            ++sToken;
            break;
        case TOKEN_STRING:
            sNextString = t.text;
            ++sToken;
            break;
        case TOKEN_RESERVED:
            sNextReserved = t.code;
            ++sToken;
            break;
        case TOKEN_NAME:
            sName.first = sToken;
            sName.end = sToken + NameInfoAt(sToken).span;
            sName.global = global;
            sName.scope = sScope;
            sName.composed = false;
            sName.line = line;
            sName.col = col;
            sName.prevLine = sLastLine;
            sName.prevCol = sLastCol;
            sToken = sName.end;
            break;
        default:  // TOKEN_EOF: the cursor stays on it
            break;
    }
    sLastLine = line;
    sLastCol = col;
}

NameKey NextKey() {
    if (!sName.composed) Compose();
    return sNameKey;
}

const std::string& NameKey::Path() const {
    if (plain_ && path_.empty()) {
        if (scope_) path_ = ScopePrefix(scope_);
        path_ += plain_->text;
    }
    return path_;
}

Var* NameKey::Get() const {
    if (!plain_) return MM_GetVar(path_);
    if (scope_) return MM_GetScoped(scope_, plain_->parts.data(), plain_->parts.size());
    return MM_GetParts(nullptr, plain_->parts.data(), plain_->parts.size());
}

Var* NameKey::Create() const {
    if (!plain_) return MM_CreateVar(path_);
    if (scope_) return MM_CreateScoped(scope_, plain_->parts.data(), plain_->parts.size());
    return MM_CreateParts(nullptr, plain_->parts.data(), plain_->parts.size());
}

Var* NameKey::Bind() const {
    if (!plain_) return MM_BindVar(path_);
    if (scope_) return MM_BindScoped(scope_, plain_->parts.data(), plain_->parts.size());
    return MM_BindParts(nullptr, plain_->parts.data(), plain_->parts.size());
}

int32_t NextNameEnd() { return sName.end; }

int32_t LookaheadIndex() {
    if (sNextType == TOKEN_NAME) return sName.first;
    return sNextType == TOKEN_EOF ? sToken : sToken - 1;
}

bool LookaheadInCurrentScope() { return sNextType != TOKEN_NAME || (!sName.global && sName.scope == sScope); }

const NameInfo& NameAt(int32_t first) { return NameInfoAt(first); }

CursorMark::CursorMark()
    : lookahead_(LookaheadIndex()),
      name_(sNextType == TOKEN_NAME),
      global_(name_ && sName.global),
      lastLine_(sLastLine),
      lastCol_(sLastCol),
      prevLine_(name_ ? sName.prevLine : 0),
      prevCol_(name_ ? sName.prevCol : 0) {}

void CursorMark::Restore() const {
    sLastLine = prevLine_;
    sLastCol = prevCol_;
    SeekToken(lookahead_);
    GetNext(global_);
    sLastLine = lastLine_;
    sLastCol = lastCol_;
}

void Expect(int32_t c) {
    if (!NextIsOp(c)) ErrorF("Missing %c", static_cast<char>(c));
    GetNext(false);
}

void PlaceCursor(int32_t prev, int32_t next) {
    sLastLine = static_cast<int32_t>(At(prev).line);
    sLastCol = static_cast<int32_t>(At(prev).column);
    sToken = next;
    GetNext(false);
}

void EndStatement() {
    if (!NextIsOp(';')) Error("Missing ;");
    GetNext(false);
}

void SkipBlock() {
    if (NextIsOp('}')) {
        GetNext(false);
        return;
    }
    int32_t s = sToken;
    if (sNextType == TOKEN_EOF) {
        Error("Expected } here");
    }
    if (auto jump = static_cast<int32_t>(TokenFact(s, Fact::kJump))) {
        sToken = jump;
        GetNext(false);
        return;
    }
    int32_t depth = 1;
    for (int32_t i = s;; ++i) {
        const Token& t = At(i);
        if (t.type == TOKEN_EOF) {
            sToken = i;
            sLastLine = static_cast<int32_t>(t.line);
            sLastCol = static_cast<int32_t>(t.column);
            Error("Expected } here");
        }
        if (t.type != TOKEN_OPERATOR) continue;
        if (t.code == '{' && t.match != 0) {
            // Every '}' before its match closes a '{' opened after it: the
            // count comes back to `depth` there. Nested blocks are stepped
            // over whole, so skipping deep nesting costs linear time.
            i = t.match;
        } else if (t.code == '{') {
            ++depth;
        } else if (t.code == '}' && --depth == 0) {
            SetTokenFact(s, Fact::kJump, static_cast<uint64_t>(i) + 1);
            sToken = i + 1;
            GetNext(false);
            return;
        }
    }
}

void ResetCursor() {
    sToken = 0;
    sNextType = TOKEN_EOF;
    sNextString = "";
    sName = NameLookahead{};
    sNameKey = NameKey{};
}

}  // namespace zorvik
