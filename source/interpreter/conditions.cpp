// Conditions: comparisons joined by `and` / `or` on one level, `not`, and
// parenthesised sub-conditions. They leave the register in its flag form.
//
// Two facts are cached per token, each in its own field: whether a '('
// opens a comparison or a nested condition (in the '(' token), and where a
// short-circuit lands (in the `and` / `or` token).
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "interpreter/compiled_expressions.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/runner.h"

namespace zorvik {

namespace {

bool IsRelOp(int32_t code) {
    return code == '<' || code == '=' || code == '>' || code == OP_LE || code == OP_GE || code == OP_NE;
}

bool Truthy(const Var& v) {
    switch (v.type) {
        case VAR_NUMBER: return v.value.number != 0 || std::isnan(v.value.number);
        case VAR_STRING: return v.value.string[0] != '\0';
        case VAR_FUNCTION: return true;
        default: return false;
    }
}

bool Ordered(int32_t op, int cmp) {
    switch (op) {
        case '<': return cmp < 0;
        case '>': return cmp > 0;
        case OP_LE: return cmp <= 0;
        default: return cmp >= 0;
    }
}

// The comparison matrix; raises the type errors.
bool Compare(int32_t op, const Var& l, const Var& r) {
    const char* text = OperatorText(op);
    bool equality = op == '=' || op == OP_NE;
    if (l.type == VAR_UNDEFINED || r.type == VAR_UNDEFINED) {
        if (!equality) ErrorF("%s is undefined between %s and undefined", text, TypeWord(l.type));
        bool same = l.type == r.type;
        return op == '=' ? same : !same;
    }
    if (l.type != r.type) ErrorF("%s is undefined between %s and %s", text, TypeWord(l.type), TypeWord(r.type));
    switch (l.type) {
        case VAR_NUMBER: return CompareNumbers(op, l.value.number, r.value.number);
        case VAR_STRING:
            if (equality) {
                bool same = Var_StringLength(&l) == Var_StringLength(&r) &&
                            (l.value.string == r.value.string || std::strcmp(l.value.string, r.value.string) == 0);
                return op == '=' ? same : !same;
            } else {
                // Strings order by their length in bytes.
                size_t a = Var_StringLength(&l), b = Var_StringLength(&r);
                return Ordered(op, a < b ? -1 : a > b ? 1 : 0);
            }
        default: {  // functions: only equality is defined, checked before reading the right side
            bool same = l.value.function == r.value.function;
            return op == '=' ? same : !same;
        }
    }
}

void BoolTerm() {
    Expression();
    if (sNextType != TOKEN_OPERATOR || !IsRelOp(sNextChar)) {
        SetFlag(Truthy(sRegister) ? 1 : 0);
        return;
    }
    int32_t op = sNextChar;
    int32_t left = sRegister.type;
    if ((left == VAR_UNDEFINED || left == VAR_FUNCTION) && op != '=' && op != OP_NE)
        ErrorF("%s is undefined for %s", OperatorText(op), TypeWord(left));
    Push();
    GetNext();
    Expression();
    PoppedValue leftValue;
    SetFlag(Compare(op, *leftValue, sRegister) ? 1 : 0);
}

// 1 when the '(' at index open begins a comparison, 2 when it encloses a
// nested condition.
int32_t ClassifyParen(int32_t open) {
    Token& paren = sTokens[static_cast<size_t>(open)];
    if (paren.condClass) return paren.condClass;
    int32_t i = paren.match;
    if (i == 0) {
        SeekToken(FileEnd(open));
        GetNext();
        Error("Expected )");
    }
    const Token& after = sTokens[static_cast<size_t>(i) + 1];
    int32_t kind = after.type == TOKEN_OPERATOR && IsRelOp(after.code) ? 1 : 2;
    sTokens[static_cast<size_t>(open)].condClass = static_cast<uint8_t>(kind);
    return kind;
}

void SingleBool() {
    DepthGuard guard;
    if (NextIsReserved(RW_NOT)) {
        GetNext();
        BoolExpression();
        SetFlag(Flag() == 0 ? 1 : 0);
        return;
    }
    if (NextIsOp('(') && ClassifyParen(sToken - 1) == 2) {
        GetNext();
        BoolExpression();
        Expect(')');
        return;
    }
    BoolTerm();
}

// Passes over the rest of a group whose value is already decided, up to its
// closing ')'. Names are not composed, and function literals are stepped
// over whole, so nothing in the skipped text runs.
void ShortCircuit() {
    int32_t word = sToken - 1;
    GetNext();
    auto cached = static_cast<int32_t>(TokenFact(word, Fact::kSkipJump));
    if (cached) {
        SeekToken(cached - 1);
        GetNext();
        return;
    }
    int32_t depth = 1;
    while (true) {
        if (sNextType == TOKEN_EOF || NextIsOp(';')) Error("Expected )");
        if (NextIsOp('{')) {
            GetNext();
            SkipBlock();
            continue;
        }
        if (NextIsOp('('))
            ++depth;
        else if (NextIsOp(')') && --depth == 0)
            break;
        GetNext();
    }
    SetTokenFact(word, Fact::kSkipJump, static_cast<uint64_t>(sToken));
}

}  // namespace

bool CompareNumbers(int32_t op, double l, double r) {
    switch (op) {
        case '=': return l == r;
        case OP_NE: return !(l == r);
        case '<': return l < r;
        case '>': return l > r;
        case OP_LE: return l <= r;
        default: return l >= r;
    }
}

void BoolExpression() {
    if (RunCompiledCondition()) return;
    DepthGuard guard;
    SingleBool();
    while (NextIsReserved(RW_AND) || NextIsReserved(RW_OR)) {
        bool isAnd = sNextReserved == RW_AND;
        int32_t flag = Flag();
        if ((isAnd && flag == 0) || (!isAnd && flag != 0)) {
            ShortCircuit();
            SetFlag(isAnd ? 0 : 1);
            return;
        }
        Push();
        GetNext();
        SingleBool();
        PoppedValue l;
        int32_t right = Flag() != 0;
        int32_t left = l->value.flag != 0;
        SetFlag(isAnd ? (left && right) : (left || right));
    }
}

}  // namespace zorvik
