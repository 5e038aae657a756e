// The conversions and the message words of the value rules.
#include "values/values.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zorvik {

namespace {

const char* SkipDigits(const char* p) {
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    return p;
}

}  // namespace

int32_t DecimalsOf(double d) {
    double t = std::fabs(std::trunc(d));
    if (!(t < 2147483648.0)) return 0;
    return t > 16 ? 16 : static_cast<int32_t>(t);
}

// The number that the longest decimal prefix of text spells: white space,
// an optional sign, digits with at most one point (".5" and "5." count),
// then an optional exponent ("e3", "E-4"). Words, hexadecimal forms, "inf"
// and "nan" are not numbers here: they give their decimal prefix, or 0.
double TextToNumber(const char* text) {
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

std::string NumberToText(double value, int32_t decimals) {
    char format[8];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    if (decimals == 0) value = std::floor(value);
    int n = std::snprintf(nullptr, 0, format, value);
    std::string text(static_cast<size_t>(n), '\0');
    std::snprintf(text.data(), text.size() + 1, format, value);
    return text;
}

const char* OperatorText(int32_t code) {
    switch (code) {
        case OP_DEEP_ASSIGN: return ":=";
        case OP_INCREMENT: return "++";
        case OP_DECREMENT: return "--";
        case OP_ADD_ASSIGN: return "+=";
        case OP_SUB_ASSIGN: return "-=";
        case OP_MUL_ASSIGN: return "*=";
        case OP_DIV_ASSIGN: return "/=";
        case OP_LE: return "<=";
        case OP_GE: return ">=";
        case OP_NE: return "<>";
        case '<': return "<";
        case '>': return ">";
        case '=': return "=";
        case '+': return "+";
        case '-': return "-";
        case '*': return "*";
        case '/': return "/";
        default: return "?";
    }
}

const char* TypeWord(int32_t type) {
    switch (type) {
        case VAR_NUMBER: return "numbers";
        case VAR_STRING: return "strings";
        case VAR_FUNCTION: return "functions";
        default: return "undefined";
    }
}

}  // namespace zorvik
