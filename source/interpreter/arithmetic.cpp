// The walker's + - * / and concatenation: reads the right operand and
// reports the type errors; what the operators give is in values/values.h.
#include <cstdlib>
#include <cstring>

#include "common/checked_alloc.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/runner.h"
#include "values/values.h"

namespace zorvik {

namespace {

// `*` and `/`: the left operand is checked before the right one is read.
void MulDiv(char op) {
    int32_t left = StackTop().type;
    GetNext();
    if (left != VAR_NUMBER) ErrorF("%c is undefined for %s", op, TypeWord(left));
    SignedFactor();
    if (sRegister.type != VAR_NUMBER) ErrorF("%c is undefined between numbers and %s", op, TypeWord(sRegister.type));
    PoppedValue l;
    double r = sRegister.value.number;
    sRegister.value.number = Arithmetic(op, l->value.number, r);
}

// The right operand of + and -: a whole term.
void RightTerm() {
    GetNext();
    Term();
}

}  // namespace

void Mul() { MulDiv('*'); }
void Div() { MulDiv('/'); }

void Add() {
    RightTerm();
    AddRight();
}

void AddRight() {
    if (sRegister.type != VAR_NUMBER) {
        // The irregular wording for functions is what scripts have always seen.
        if (sRegister.type == VAR_FUNCTION) Error("+ is undefined between numbers an functions");
        ErrorF("+ is undefined between numbers and %s", TypeWord(sRegister.type));
    }
    PoppedValue l;
    sRegister.value.number = Arithmetic('+', l->value.number, sRegister.value.number);
}

void Sub() {
    RightTerm();
    SubRight();
}

void SubRight() {
    if (sRegister.type != VAR_NUMBER) ErrorF("- is undefined between numbers and %s", TypeWord(sRegister.type));
    PoppedValue l;
    sRegister.value.number = Arithmetic('-', l->value.number, sRegister.value.number);
}

void AddString() {
    RightTerm();
    if (sRegister.type != VAR_STRING) ErrorF("+ is undefined between strings and %s", TypeWord(sRegister.type));
    PoppedValue left;
    // The left operand's block is ours: extend it instead of copying it.
    Var_AppendString(left.Get(), sRegister.value.string, Var_StringLength(&sRegister));
    Var_Free(&sRegister);
    sRegister = left.Release();
}

}  // namespace zorvik
