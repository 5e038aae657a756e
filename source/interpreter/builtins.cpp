// The built-in value operators: tostring, tonumber, length, defined,
// sizeof, isnumber, isstring, isfunction. They are written like calls and
// leave an ordinary value (not a flag) in the register.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/runner.h"
#include "values/values.h"

namespace zorvik {

namespace {

void ToString() {
    Expression();
    int32_t decimals = 0;
    if (NextIsOp(',')) {
        Push();
        GetNext();
        Expression();
        if (sRegister.type != VAR_NUMBER) Error("Expected numeric expression");
        decimals = DecimalsOf(sRegister.value.number);
        sRegister = PoppedValue().Release();
    }
    switch (sRegister.type) {
        case VAR_NUMBER: Var_SetString(&sRegister, NumberToText(sRegister.value.number, decimals).c_str()); break;
        case VAR_STRING: break;
        case VAR_FUNCTION: Var_SetString(&sRegister, kFunctionText); break;
        default: Var_SetString(&sRegister, kUndefinedText); break;
    }
}

void ToNumber() {
    Expression();
    switch (sRegister.type) {
        case VAR_NUMBER: break;
        case VAR_STRING: Var_SetNumber(&sRegister, TextToNumber(sRegister.value.string)); break;
        case VAR_FUNCTION: Error("Can't convert function to number");
        default: Var_SetNumber(&sRegister, 0); break;
    }
}

void Length() {
    Expression();
    if (sRegister.type != VAR_STRING) Error("Expected string expression");
    Var_SetNumber(&sRegister, static_cast<double>(Var_StringLength(&sRegister)));
}

// The operators that inspect a variable take one name, not an expression.
NameKey NameArgument(const char* message) {
    if (sNextType != TOKEN_NAME) Error(message);
    return NextKey();
}

int32_t TypeTest(int32_t type) {
    Var* var = NameArgument("Expected name").Get();
    GetNext();
    return var && var->type == type;
}

}  // namespace

void BuiltIn(int32_t code) {
    GetNext();
    Expect('(');
    double result = 0;
    switch (code) {
        case RW_TOSTRING: ToString(); break;
        case RW_TONUMBER: ToNumber(); break;
        case RW_LENGTH: Length(); break;
        case RW_DEFINED:
            result = MM_VarDefined(NameArgument("Expected name").Path().c_str());
            GetNext();
            break;
        case RW_SIZEOF:
            result = MM_VarSubCount(NameArgument("Expected variable").Path().c_str());
            GetNext();
            break;
        case RW_ISNUMBER: result = TypeTest(VAR_NUMBER); break;
        case RW_ISSTRING: result = TypeTest(VAR_STRING); break;
        default: result = TypeTest(VAR_FUNCTION); break;
    }
    if (code != RW_TOSTRING && code != RW_TONUMBER && code != RW_LENGTH) Var_SetNumber(&sRegister, result);
    Expect(')');
}

}  // namespace zorvik
