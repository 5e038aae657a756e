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

namespace zorvik {

namespace {

// The number of decimals tostring writes: |trunc(d)| capped at 16; NaN,
// infinities and magnitudes of 2^31 or more count as 0.
int32_t Decimals(double d) {
    double t = std::fabs(std::trunc(d));
    if (!(t < 2147483648.0)) return 0;
    return t > 16 ? 16 : static_cast<int32_t>(t);
}

const char* SkipDigits(const char* p) {
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// The number that the longest decimal prefix of text spells: white space,
// an optional sign, digits with at most one point (".5" and "5." count),
// then an optional exponent ("e3", "E-4"). Words, hexadecimal forms, "inf"
// and "nan" are not numbers here: they give their decimal prefix, or 0.
double DecimalPrefix(const char* text) {
    const char* start = text;
    while (std::isspace(static_cast<unsigned char>(*start))) ++start;
    const char* p = start;
    if (*p == '+' || *p == '-') ++p;
    const char* wholeEnd = SkipDigits(p);
    size_t digits = static_cast<size_t>(wholeEnd - p);
    p = wholeEnd;
    if (*p == '.') {
        const char* fractionEnd = SkipDigits(p + 1);
        digits += static_cast<size_t>(fractionEnd - (p + 1));
        p = fractionEnd;
    }
    if (digits == 0) return 0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        const char* end = SkipDigits(q);
        if (end > q) p = end;
    }
    // The prefix is plain decimal text, which strtod converts correctly
    // rounded; overflow gives an infinity, as for a literal.
    return std::strtod(std::string(start, p).c_str(), nullptr);
}

void ToString() {
    Expression();
    int32_t decimals = 0;
    if (NextIsOp(',')) {
        Push();
        GetNext();
        Expression();
        if (sRegister.type != VAR_NUMBER) Error("Expected numeric expression");
        decimals = Decimals(sRegister.value.number);
        sRegister = PoppedValue().Release();
    }
    switch (sRegister.type) {
        case VAR_NUMBER: Var_SetString(&sRegister, NumberToText(sRegister.value.number, decimals).c_str()); break;
        case VAR_STRING: break;
        case VAR_FUNCTION: Var_SetString(&sRegister, "(FUNCTION)"); break;
        default: Var_SetString(&sRegister, "(UNDEFINED)"); break;
    }
}

void ToNumber() {
    Expression();
    switch (sRegister.type) {
        case VAR_NUMBER: break;
        case VAR_STRING: Var_SetNumber(&sRegister, DecimalPrefix(sRegister.value.string)); break;
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

std::string NumberToText(double value, int32_t decimals) {
    char format[8];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    if (decimals == 0) value = std::floor(value);
    int n = std::snprintf(nullptr, 0, format, value);
    std::string text(static_cast<size_t>(n), '\0');
    std::snprintf(text.data(), text.size() + 1, format, value);
    return text;
}

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
