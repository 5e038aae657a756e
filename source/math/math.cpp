// The math library: elementary functions, min/max, floating remainder and a
// small linear congruential random generator.
//
// Invariants:
//  - Every native writes its result into its first argument (x, or y for
//    atan2) by replacing the number only; the variable keeps its type tag and
//    its member table. No native touches the local r.
//  - Arguments are checked first argument first, so the reported message is
//    that of the first bad argument.
//  - sRndNext is only ever changed with unsigned 64-bit arithmetic, and no
//    double reaches an integer conversion unless it is known to fit.
#include "math/math.h"

#include <cmath>
#include <cstdint>
#include <ctime>

#include "interpreter/natives.h"

namespace zorvik {

namespace {

// Generator state, one per thread (each starts at 1); untouched by ZK_Init
// and ZK_Terminate.
thread_local constinit uint64_t sRndNext = 1;

void Unary(const char* message, double (*f)(double)) {
    Var* x = ZK_NumberArg("x", message);
    Var_SetNumber(x, f(x->value.number));
}

// `first` = f(first, second); the first argument is checked first, so a
// call with two bad arguments reports the first.
void Binary(const char* firstName, const char* firstMessage, const char* secondName, const char* secondMessage,
            double (*f)(double, double)) {
    Var* first = ZK_NumberArg(firstName, firstMessage);
    Var* second = ZK_NumberArg(secondName, secondMessage);
    Var_SetNumber(first, f(first->value.number, second->value.number));
}

// Advances the generator and yields its 15-bit output.
int64_t NextRandom() {
    sRndNext = sRndNext * 1103515245u + 12345u;
    return static_cast<int64_t>((sRndNext >> 16) & 0x7FFF);
}

// floor(v) modulo 2^64. A finite double of magnitude 2^64 or more is an
// integer, and fmod by 2^64 is exact, so the wrap is exact too; NaN and the
// infinities have no residue and give 0.
uint64_t SeedFromNumber(double v) {
    constexpr double kTwo64 = 18446744073709551616.0;
    if (!std::isfinite(v)) return 0;
    double f = std::floor(v);
    if (f >= 0) return static_cast<uint64_t>(std::fmod(f, kTwo64));
    // Negate before converting: -f mod 2^64 fits, and 0 - u wraps in unsigned.
    return 0u - static_cast<uint64_t>(std::fmod(-f, kTwo64));
}

void math_acos() {
    Unary("acos expected number as parameter", [](double x) { return std::acos(x); });
}
void math_asin() {
    Unary("asin expected number as parameter", [](double x) { return std::asin(x); });
}
void math_atan() {
    Unary("atan expected number as parameter", [](double x) { return std::atan(x); });
}
void math_cos() {
    Unary("cos expected number as parameter", [](double x) { return std::cos(x); });
}
void math_cosh() {
    Unary("cosh expected number as parameter", [](double x) { return std::cosh(x); });
}
void math_sin() {
    Unary("sin expected number as parameter", [](double x) { return std::sin(x); });
}
void math_sinh() {
    Unary("sinh expected number as parameter", [](double x) { return std::sinh(x); });
}
void math_tan() {
    Unary("tan expected number as parameter", [](double x) { return std::tan(x); });
}
void math_tanh() {
    Unary("tanh expected number as parameter", [](double x) { return std::tanh(x); });
}
void math_exp() {
    Unary("exp expected number as parameter", [](double x) { return std::exp(x); });
}
void math_log() {
    Unary("log expected number as parameter", [](double x) { return std::log(x); });
}
void math_log10() {
    Unary("log10 expected number as parameter", [](double x) { return std::log10(x); });
}
void math_sqrt() {
    Unary("sqrt expected number as parameter", [](double x) { return std::sqrt(x); });
}
void math_ceil() {
    Unary("ceil expected number as parameter", [](double x) { return std::ceil(x); });
}
void math_floor() {
    Unary("floor expected number as parameter", [](double x) { return std::floor(x); });
}
void math_abs() {
    Unary("abs expected number as parameter", [](double x) { return std::fabs(x); });
}

void math_atan2() {
    Binary("y", "atan2 expected number as first parameter", "x", "atan2 expected number as second parameter",
           [](double y, double x) { return std::atan2(y, x); });
}

void math_pow() {
    Binary("x", "pow expected number as first parameter", "y", "pow expected number as second parameter",
           [](double x, double y) { return std::pow(x, y); });
}

void math_mod() {
    Binary("x", "mod expected number as first parameter", "y", "mod expected number as second parameter",
           [](double x, double y) { return std::fmod(x, y); });
}

// Strict comparisons, made once: a NaN on either side keeps x.
void math_min() {
    Binary("x", "min expected number as first parameter", "y", "min expected number as second parameter",
           [](double x, double y) { return x > y ? y : x; });
}

void math_max() {
    Binary("x", "max expected number as first parameter", "y", "max expected number as second parameter",
           [](double x, double y) { return y > x ? y : x; });
}

// The state advances before any argument is looked at, so even a call that
// fails on its arguments consumes one value.
void math_rnd() {
    int64_t a = NextRandom();
    Var* x = ZK_GetLocalVariable("x");
    if (!x) {
        Var_SetNumber(ZK_CreateLocalVariable("x"), static_cast<double>(a) / 32768.0);
        return;
    }
    Var* y = ZK_GetLocalVariable("y");
    if (!y) {
        ZK_CheckNumber(x, "rnd expected number as parameter");
        int64_t c = FloorToInt(x->value.number);
        double result = 0;
        if (c > 0)
            result = static_cast<double>(a % c);
        else if (c < 0)
            result = -static_cast<double>(a % c);  // -0.0 when the remainder is 0
        Var_SetNumber(x, result);
        return;
    }
    ZK_CheckNumber(x, "rnd expected number as first parameter");
    ZK_CheckNumber(y, "rnd expected number as second parameter");
    double xv = x->value.number;
    double yv = y->value.number;
    int64_t lo = FloorToInt(xv < yv ? xv : yv);
    int64_t hi = FloorToInt(xv < yv ? yv : xv);
    // In 64 bits the span of the whole 32-bit range is 2^32 rather than a
    // wrapped 0. A span of 0 is left only when saturation of a NaN or an
    // out-of-range bound put hi just below lo; it too stands for 2^32, which
    // exceeds every a.
    int64_t span = hi - lo + 1;
    Var_SetNumber(x, static_cast<double>(lo + (span == 0 ? a : a % span)));
}

void math_randomize() {
    Var* x = ZK_GetLocalVariable("x");
    if (!x) {
        sRndNext = static_cast<uint64_t>(std::time(nullptr));
        return;
    }
    ZK_CheckNumber(x, "randomize expected number as parameter");
    sRndNext = SeedFromNumber(x->value.number);
}

// The order of registration has no visible effect.
constexpr ZK_NativeReg kNatives[] = {
    {"math.acos", math_acos},   {"math.asin", math_asin},
    {"math.atan", math_atan},   {"math.atan2", math_atan2},
    {"math.cos", math_cos},     {"math.cosh", math_cosh},
    {"math.sin", math_sin},     {"math.sinh", math_sinh},
    {"math.tan", math_tan},     {"math.tanh", math_tanh},
    {"math.exp", math_exp},     {"math.log", math_log},
    {"math.log10", math_log10}, {"math.pow", math_pow},
    {"math.sqrt", math_sqrt},   {"math.ceil", math_ceil},
    {"math.abs", math_abs},     {"math.floor", math_floor},
    {"math.mod", math_mod},     {"math.min", math_min},
    {"math.max", math_max},     {"math.randomize", math_randomize},
    {"math.rnd", math_rnd},
};

}  // namespace

void math_init() { ZK_RegisterNatives(kNatives); }

}  // namespace zorvik
