// The rules of the language's values, one copy of each: what is true, how
// two values compare, what + - * / and their compound forms give, and how
// numbers and texts convert. The token walker and compiled code both call
// these. A rule never raises anything: where it says an operation is
// undefined, the walker reports the error with the texts below and compiled
// code leaves the statement to the walker, which then reports it.
//
// Types never convert by themselves: numbers combine with numbers and
// strings with strings. Numbers follow IEEE arithmetic, so a division by
// zero gives an infinity or NaN without error.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "interpreter/tokens.h"
#include "memory_manager/memory_manager.h"

namespace zorvik {

// ---------------------------------------------------------------- truth

// A number is true unless it is 0 (NaN is true).
inline bool NumberIsTrue(double number) { return number != 0 || std::isnan(number); }

// Whether a value is true: a true number, a non-empty string, any function.
// Undefined is false.
inline bool IsTrue(int32_t type, double number, bool nonEmptyString) {
    switch (type) {
        case VAR_NUMBER: return NumberIsTrue(number);
        case VAR_STRING: return nonEmptyString;
        case VAR_FUNCTION: return true;
        default: return false;
    }
}
inline bool IsTrue(const Cell& v) {
    return IsTrue(v.type, v.type == VAR_NUMBER ? v.value.number : 0, v.type == VAR_STRING && v.value.string[0] != '\0');
}

// ---------------------------------------------------------------- comparisons

// = <> < > <= >=
inline bool IsComparison(int32_t code) {
    return code == '<' || code == '=' || code == '>' || code == OP_LE || code == OP_GE || code == OP_NE;
}
inline bool IsEquality(int32_t op) { return op == '=' || op == OP_NE; }

// Undefined and functions compare only for equality; this is decided by the
// left operand alone, before the right one is read.
inline bool LeftMayCompare(int32_t op, int32_t leftType) {
    return IsEquality(op) || (leftType != VAR_UNDEFINED && leftType != VAR_FUNCTION);
}

// Whether `op` is defined between the two types: undefined compares for
// equality with anything (and equals only undefined); otherwise both sides
// have the same type.
inline bool MayCompare(int32_t op, int32_t leftType, int32_t rightType) {
    if (leftType == VAR_UNDEFINED || rightType == VAR_UNDEFINED) return IsEquality(op);
    return leftType == rightType;
}

// `=` of `same`, or `<>`.
inline bool EqualityResult(int32_t op, bool same) { return op == '=' ? same : !same; }

// A NaN is equal to nothing and ordered with nothing.
inline bool CompareNumbers(int32_t op, double l, double r) {
    switch (op) {
        case '=': return l == r;
        case OP_NE: return !(l == r);
        case '<': return l < r;
        case '>': return l > r;
        case OP_LE: return l <= r;
        default: return l >= r;
    }
}

// Strings are equal when their bytes are; they order by their length in bytes.
inline bool CompareStrings(int32_t op, const char* l, size_t lLength, const char* r, size_t rLength) {
    if (IsEquality(op)) return EqualityResult(op, lLength == rLength && (l == r || std::memcmp(l, r, lLength) == 0));
    switch (op) {
        case '<': return lLength < rLength;
        case '>': return lLength > rLength;
        case OP_LE: return lLength <= rLength;
        default: return lLength >= rLength;
    }
}

// Functions are equal when they are the same function (of the same run).
inline bool CompareFunctions(int32_t op, FunctionRef l, FunctionRef r) { return EqualityResult(op, l == r); }

// One side of a comparison: the payload of its type only.
struct Operand {
    int32_t type = VAR_UNDEFINED;
    double number = 0;
    const char* text = nullptr;  // VAR_STRING: `length` bytes
    size_t length = 0;
    FunctionRef function{};
};

// The comparison `op` between two operands for which MayCompare holds.
inline bool CompareOperands(int32_t op, const Operand& l, const Operand& r) {
    if (l.type == VAR_UNDEFINED || r.type == VAR_UNDEFINED) return EqualityResult(op, l.type == r.type);
    switch (l.type) {
        case VAR_NUMBER: return CompareNumbers(op, l.number, r.number);
        case VAR_STRING: return CompareStrings(op, l.text, l.length, r.text, r.length);
        default: return CompareFunctions(op, l.function, r.function);
    }
}

// ---------------------------------------------------------------- arithmetic

// The operator of a compound assignment (+= -= *= /=): + - * /.
inline int32_t CompoundOperator(int32_t assignOp) {
    switch (assignOp) {
        case OP_ADD_ASSIGN: return '+';
        case OP_SUB_ASSIGN: return '-';
        case OP_MUL_ASSIGN: return '*';
        default: return '/';
    }
}

// + - * / between two numbers.
inline double Arithmetic(int32_t op, double l, double r) {
    switch (op) {
        case '+': return l + r;
        case '-': return l - r;
        case '*': return l * r;
        default: return l / r;
    }
}

// `+` joins two strings; every other operator is defined for numbers only.
// The left operand decides first, before the right one is read.
inline bool LeftMayCombine(int32_t op, int32_t leftType) {
    return leftType == VAR_NUMBER || (leftType == VAR_STRING && op == '+');
}
inline bool MayCombine(int32_t op, int32_t leftType, int32_t rightType) {
    return LeftMayCombine(op, leftType) && rightType == leftType;
}

// ++ and --.
inline double Stepped(double number, int32_t op) { return number + (op == OP_INCREMENT ? 1 : -1); }

// A counting loop's step: NaN counts as 0.
inline double LoopStep(double step) { return std::isnan(step) ? 0 : step; }

// ---------------------------------------------------------------- conversions

// tostring's number of decimals for a second argument d: |trunc(d)| capped
// at 16; NaN, infinities and magnitudes of 2^31 or more count as 0.
int32_t DecimalsOf(double d);

// A number as tostring writes it with `decimals` decimals (0: the floor).
std::string NumberToText(double value, int32_t decimals);

// tonumber of a string: the number its longest decimal prefix spells, or 0.
double TextToNumber(const char* text);

// What tostring gives for a function and for undefined.
inline constexpr const char* kFunctionText = "(FUNCTION)";
inline constexpr const char* kUndefinedText = "(UNDEFINED)";

// ---------------------------------------------------------------- messages

// An operator as messages write it ("<=", "+=", ...).
const char* OperatorText(int32_t code);
// A type as messages write it, in the plural ("numbers", "undefined").
const char* TypeWord(int32_t type);

}  // namespace zorvik
