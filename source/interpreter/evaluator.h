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
#include "values/values.h"

namespace zorvik {

extern thread_local constinit Var sRegister;

void Push();
Var& StackTop();

// The value on top of the stack, taken off it by the constructor. It owns
// what the value holds (a string) and frees it when it goes out of scope,
// also when an error unwinds past it; Release() hands the value on instead.
class PoppedValue {
  public:
    PoppedValue();
    ~PoppedValue() { Var_Free(&value_); }
    PoppedValue(const PoppedValue&) = delete;
    PoppedValue& operator=(const PoppedValue&) = delete;

    const Var& operator*() const { return value_; }
    const Var* operator->() const { return &value_; }
    Var* Get() { return &value_; }
    // The value, now the caller's to free; this owner is left empty.
    Var Release() {
        Var v = value_;
        value_.type = VAR_UNDEFINED;
        return v;
    }

  private:
    Var value_;
};

void Expression();
// The rest of an expression whose first term's value is in the register,
// with the lookahead on the token after that term.
void ExpressionTail();
void Term();
// The rest of a term after its first factor, which is in the register.
void TermTail();
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
// The second half of Add and Sub: the right operand is in the register, the
// cursor behind it.
void AddRight();
void SubRight();

// Built-in value operators, entered with the cursor on the reserved word.
void BuiltIn(int32_t code);

// Truth flag helpers for the flag form of the register.
inline void SetFlag(int32_t flag) {
    Var_Free(&sRegister);
    sRegister.value.flag = flag;
}
inline int32_t Flag() { return sRegister.value.flag; }



}  // namespace zorvik
