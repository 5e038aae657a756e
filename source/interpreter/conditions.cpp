// Conditions: comparisons joined by `and` / `or` on one level, `not`, and
// parenthesised sub-conditions. They leave the register in its flag form.
//
// Two facts are cached per token, each in its own field: whether a '('
// opens a comparison or a nested condition (in the '(' token), and where a
// short-circuit lands (in the `and` / `or` token).

#include "interpreter/compiled_expressions.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/runner.h"
#include "values/values.h"

namespace zorvik {

namespace {

Operand OperandOf(const Var& v) {
    switch (v.type) {
        case VAR_NUMBER: return {.type = VAR_NUMBER, .number = v.value.number};
        case VAR_STRING: return {.type = VAR_STRING, .text = v.value.string, .length = Var_StringLength(&v)};
        case VAR_FUNCTION: return {.type = VAR_FUNCTION, .function = v.value.function};
        default: return {};
    }
}

// The comparison matrix; raises the type errors.
bool Compare(int32_t op, const Var& l, const Var& r) {
    if (!MayCompare(op, l.type, r.type))
        ErrorF("%s is undefined between %s and %s", OperatorText(op), TypeWord(l.type), TypeWord(r.type));
    return CompareOperands(op, OperandOf(l), OperandOf(r));
}

void BoolTerm() {
    Expression();
    if (sNextType != TOKEN_OPERATOR || !IsComparison(sNextChar)) {
        SetFlag(IsTrue(sRegister) ? 1 : 0);
        return;
    }
    int32_t op = sNextChar;
    int32_t left = sRegister.type;
    if (!LeftMayCompare(op, left)) ErrorF("%s is undefined for %s", OperatorText(op), TypeWord(left));
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
    int32_t kind = after.type == TOKEN_OPERATOR && IsComparison(after.code) ? 1 : 2;
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
