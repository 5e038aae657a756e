// The expression grammar: Expression > Term > SignedFactor > Factor, over
// the register and the value stack.
#include <string>
#include <vector>

#include "common/per_thread.h"
#include "interpreter/assignments.h"
#include "interpreter/compiled_calls.h"
#include "interpreter/compiled_expressions.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/runner.h"

namespace zorvik {

thread_local constinit Var sRegister;

namespace {

thread_local constinit ThreadArray<Var> sStack;  // no destructor: no TLS guard on a push

void ReleaseValue(Var& v) {
    if (v.type == VAR_STRING) MM_ReleaseText(v.value.string);
    v.type = VAR_UNDEFINED;
}

void FunctionLiteral() {
    int32_t literal = sToken;  // the token after the word `function`
    auto cached = static_cast<uint32_t>(TokenFact(literal, Fact::kFunction));
    int32_t index;
    if (cached == 0) {
        index = BuildFunction();
    } else {
        index = static_cast<int32_t>(cached - 1);
        SeekToken(FunctionBody(index) - 1);
        GetNext();
    }
    Var_SetFunction(&sRegister, FunctionValue(index));
    if (!NextIsOp('{')) Error("Missing {");
    GetNext();
    SkipBlock();
}

// A name as a primary: its value, a call of it, or a postfix update.
void NamePrimary() {
    Var* var = NextKey().Get();
    GetNext();
    if (!var || var->type == VAR_ALIAS) {
        Var_Free(&sRegister);
        return;
    }
    switch (var->type) {
        case VAR_NUMBER:
            Var_SetNumber(&sRegister, var->value.number);
            CheckPostMod(var);
            return;
        case VAR_FUNCTION:
            if (NextIsOp('(')) {
                CallFunc(var);
                MM_TakeResult(&sRegister);
            } else {
                Var_SetFunction(&sRegister, var->value.function);
            }
            return;
        default: Var_Set(&sRegister, var); return;
    }
}

}  // namespace

void Push() {
    sStack.push_back(sRegister);
    sRegister.type = VAR_UNDEFINED;  // the string, if any, now belongs to the slot
}

PoppedValue::PoppedValue() : value_(sStack.back()) { sStack.pop_back(); }

Var& StackTop() { return sStack.back(); }

void ResetEvaluator() {
    for (Var& v : sStack) ReleaseValue(v);
    sStack.clear();
    Var_Free(&sRegister);
}

void Expression() {
    if (RunCompiledExpression() || RunCompiledCalls()) return;
    DepthGuard guard;
    Term();
    ExpressionTail();
}

void ExpressionTail() {
    switch (sRegister.type) {
        case VAR_NUMBER:
            while (NextIsOp('+') || NextIsOp('-')) {
                bool add = sNextChar == '+';
                Push();
                add ? Add() : Sub();
            }
            return;
        case VAR_STRING:
            while (NextIsOp('+')) {
                Push();
                AddString();
            }
            if (NextIsOp('-')) {
                Push();
                Error("- is undefined for strings");
            }
            return;
        case VAR_UNDEFINED:
        case VAR_FUNCTION: {
            const char* type = sRegister.type == VAR_UNDEFINED ? "undefined" : "functions";
            if (NextIsOp('+')) ErrorF("+ is undefined for %s", type);
            if (NextIsOp('-')) ErrorF("- is undefined for %s", type);
            return;
        }
        default: Error("Syntax error");
    }
}

void Term() {
    SignedFactor();
    TermTail();
}

void TermTail() {
    while (NextIsOp('*') || NextIsOp('/')) {
        bool mul = sNextChar == '*';
        Push();
        mul ? Mul() : Div();
    }
}

void SignedFactor() {
    if (!NextIsOp('+') && !NextIsOp('-')) {
        Factor();
        return;
    }
    char sign = static_cast<char>(sNextChar);
    GetNext();
    Factor();
    switch (sRegister.type) {
        case VAR_NUMBER:
            if (sign == '-') sRegister.value.number = -sRegister.value.number;
            return;
        case VAR_STRING:
            if (sign == '-') Error("- is undefined for strings");
            return;
        case VAR_FUNCTION: ErrorF("%c is undefined for functions", sign);
        case VAR_UNDEFINED: ErrorF("%c is undefined for undefined", sign);
        default: Error("Syntax error");
    }
}

void Factor() {
    switch (sNextType) {
        case TOKEN_NUMBER:
            Var_SetNumber(&sRegister, sNextNumber);
            GetNext();
            return;
        case TOKEN_STRING:
            Var_SetString(&sRegister, sNextString);
            GetNext();
            return;
        case TOKEN_NAME: NamePrimary(); return;
        case TOKEN_OPERATOR:
            if (sNextChar == '(') {
                GetNext();
                Expression();
                Expect(')');
            } else if (sNextChar == OP_INCREMENT || sNextChar == OP_DECREMENT) {
                PrefixUpdate();
            } else {
                Error("Unexpected character");
            }
            return;
        case TOKEN_RESERVED:
            if (sNextReserved == RW_FUNCTION) {
                FunctionLiteral();
            } else if (IsBuiltInOperator(sNextReserved)) {
                BuiltIn(sNextReserved);
            } else {
                Error("Syntax error");
            }
            return;
        default: Error("Expected expression");
    }
}

// Moves the cursor to the next operator `ch` that is not nested inside
// parentheses, brackets or braces opened after the current token, so that a
// function literal in a skipped condition is stepped over whole.
void Search(int32_t ch) {
    if (NextIsOp(ch)) return;
    int32_t start = sToken;
    auto cached = static_cast<int32_t>(TokenFact(start, Fact::kSearchJump));
    if (cached != 0 && TokenIsOp(cached - 1, ch)) {
        SeekToken(cached - 1);
        GetNext();
        return;
    }
    int32_t depth = 0;
    for (int32_t i = start;; ++i) {
        const Token& t = sTokens[static_cast<size_t>(i)];
        if (t.type == TOKEN_EOF) {
            SeekToken(i);
            GetNext();
            ErrorF("Expected %c", static_cast<char>(ch));
        }
        if (t.type != TOKEN_OPERATOR) continue;
        if (t.code == ch && depth <= 0) {
            SetTokenFact(start, Fact::kSearchJump, static_cast<uint64_t>(i) + 1);
            SeekToken(i);
            GetNext();
            return;
        }
        if (t.code == '(' || t.code == '[' || t.code == '{')
            ++depth;
        else if (t.code == ')' || t.code == ']' || t.code == '}')
            --depth;
    }
}

}  // namespace zorvik
