// The expression evaluator: recursive descent straight over the tokens.
//
// Every evaluation leaves its value in the register sRegister; the left
// operand of a pending infix operator waits on the value stack. Values are
// moved between the two, never copied, so a string has exactly one owner.
// A condition leaves the register undefined with its truth flag in
// value.flag (the flag form); it is never a script value.
#pragma once

#include <cstdint>

#include "memory_manager/memory_manager.h"

extern Var sRegister;

void Push();
void Pop(Var& dest);
Var& StackTop();

void Expression();
void Term();
void SignedFactor();
void Factor();
void BoolExpression();
void Search(int32_t ch);

// Arithmetic; entered with the left operand pushed and the cursor on the operator.
void Mul();
void Div();
void Add();
void Sub();
void AddString();

// Built-in value operators, entered with the cursor on the reserved word.
void BuiltIn(int32_t code);
// Number to text as tostring writes it.
std::string NumberToText(double value, int32_t decimals);

// Truth flag helpers for the flag form of the register.
inline void SetFlag(int32_t flag) {
    Var_Free(&sRegister);
    sRegister.value.flag = flag;
}
inline int32_t Flag() { return sRegister.value.flag; }

// Operator text and type words for messages.
const char* OperatorText(int32_t code);
const char* TypeWord(int32_t type);
