// The sys library: console output and line input, wall clock and calendar,
// monotonic clock, pause, program path, version and shell commands; the
// natives about the process itself are in sys_process.cpp.
//
// Every native reads its arguments as locals of the calling script function
// and leaves its result in the local "r"; this part keeps no state.
// Doubles from scripts are range-checked before any conversion to an integer
// type, so no argument value can cause undefined behaviour.
#include "sys/sys.h"

#include <pthread.h>
#include <sys/select.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "interpreter/console.h"
#include "interpreter/natives.h"

namespace zorvik {

namespace {

void SetResult(double number) { Var_SetNumber(ZK_CreateLocalVariable("r"), number); }

// Floor of x as a signed 64-bit integer; NaN and floors outside the range
// give the most negative value.
long long FloorToInt64(double x) {
    double f = std::floor(x);
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (!(f >= -kLimit && f < kLimit)) return std::numeric_limits<long long>::min();
    return static_cast<long long>(f);
}

void Print(const Var* v, bool newline) {
    if (v) {
        switch (v->type) {
            case VAR_NUMBER: WriteOutF("%lld", FloorToInt64(v->value.number)); break;
            case VAR_STRING: WriteOut(v->value.string); break;
            case VAR_FUNCTION: WriteOut("(FUNCTION)"); break;
            default: WriteOut("(UNDEFINED)"); break;
        }
    }
    if (newline) WriteOutChar('\n');
}

// The current local time broken down; all zero should the system fail.
std::tm Now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (!localtime_r(&now, &tm)) tm = std::tm{};
    return tm;
}

void sys_write() { Print(ZK_GetLocalVariable("v"), false); }

void sys_wln() { Print(ZK_GetLocalVariable("v"), true); }

// One line of standard input of any length, without its '\n' (a '\r'
// before it stays); the empty string at end of input or after a read error
// (see ReadInputLine). Our output is flushed first, so that a prompt shows
// before the program waits.
void sys_rln() {
    ZK_Flush();
    Var* r = ZK_CreateLocalVariable("r");
    auto line = ReadInputLine();
    if (line)
        Var_TakeString(r, line.release());
    else
        Var_SetString(r, "");
}

void sys_time() { SetResult(static_cast<double>(std::time(nullptr))); }

// One field of the broken-down time: FloorToInt(arg) + offset, or def when
// the argument is absent. False when the argument is NaN or the field does
// not fit an int (the field is computed in 64 bits, so it cannot overflow).
bool TimeField(const Var* arg, int64_t offset, int def, int& field) {
    if (!arg) {
        field = def;
        return true;
    }
    double f = std::floor(arg->value.number);
    if (!(f >= INT32_MIN && f <= INT32_MAX)) return false;
    int64_t value = int64_t{FloorToInt(f)} + offset;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return false;
    field = static_cast<int>(value);
    return true;
}

void sys_toTime() {
    static const char* const kNames[] = {"Y", "M", "D", "h", "m", "s"};
    static const char* const kMessages[] = {
        "toTime expected number as first parameter",   "toTime expected number as second parameter",
        "toTime expected number as third parameter",   "toTime expected number as fourth parameter",
        "toTime expected number as fifth pararameter", "toTime expected number as sixth parameter"};
    const Var* args[6];
    for (int i = 0; i < 6; ++i) args[i] = ZK_GetLocalVariable(kNames[i]);
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(args[0], kMessages[0]);
    for (int i = 1; i < 6; ++i) ZK_OptNumber(args[i], kMessages[i]);

    std::tm tm{};
    bool ok = TimeField(args[0], -1900, 0, tm.tm_year) && TimeField(args[1], -1, 0, tm.tm_mon) &&
              TimeField(args[2], 0, 1, tm.tm_mday) && TimeField(args[3], 0, 0, tm.tm_hour) &&
              TimeField(args[4], 0, 0, tm.tm_min) && TimeField(args[5], 0, 0, tm.tm_sec);
    tm.tm_isdst = -1;
    Var_SetNumber(r, ok ? static_cast<double>(std::mktime(&tm)) : -1);
}

void sys_sysTime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t milliseconds = int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
    SetResult(static_cast<double>(milliseconds));
}

// The date as a number computed from the fields, so any year gives
// year * 10000 + month * 100 + day.
void sys_date() {
    std::tm tm = Now();
    SetResult((tm.tm_year + 1900.0) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
}

void sys_year() { SetResult(Now().tm_year + 1900.0); }
void sys_month() { SetResult(Now().tm_mon + 1); }
void sys_yday() { SetResult(Now().tm_yday + 1); }
void sys_mday() { SetResult(Now().tm_mday); }
void sys_wday() {
    int wday = Now().tm_wday;
    SetResult(wday == 0 ? 7 : wday);
}
void sys_hour() { SetResult(Now().tm_hour); }
void sys_min() { SetResult(Now().tm_min); }
void sys_sec() { SetResult(Now().tm_sec); }

// Sleeps for `pause`, or less when a signal comes. A signal that asks the
// run to stop is blocked while the request is tested and let in only by the
// wait itself, so that one coming just before the wait still cuts it short.
void Pause(const timespec& pause) {
    sigset_t stops, old;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    if (!ZK_InterruptPending()) pselect(0, nullptr, nullptr, nullptr, &pause, &old);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Pauses t milliseconds. Absent, negative and NaN sleep zero; counts beyond
// the unsigned 64-bit range saturate. Output so far is flushed first, so that
// progress shows during the pause. A run asked to stop does not pause: it
// stops at the statement after the call.
void sys_sleep() {
    const Var* t = ZK_OptNumber(ZK_GetLocalVariable("t"), "sleep expected number as parameter");
    ZK_Flush();
    uint64_t ms = 0;
    if (t) {
        double f = std::floor(t->value.number);
        constexpr double kLimit = 18446744073709551616.0;  // 2^64
        if (f >= kLimit)
            ms = std::numeric_limits<uint64_t>::max();
        else if (f > 0)
            ms = static_cast<uint64_t>(f);
    }
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000 * 1000000)};
    Pause(pause);
}

void sys_path() { Var_SetString(ZK_CreateLocalVariable("r"), ZK_GetProgramPath()); }

void sys_ver() { SetResult(2); }

// Runs x through the shell: 1 when the shell ran, 0 when it could not start.
// Our buffered output is flushed first so that it precedes the command's.
void sys_execute() {
    const Var* x = ZK_StringArg("x", "execute expected string as parameter");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_Flush();
    Var_SetNumber(r, std::system(x->value.string) == -1 ? 0 : 1);
}

// The order of registration has no visible effect.
constexpr ZK_NativeReg kNatives[] = {
    {"sys.write", sys_write},   {"sys.wln", sys_wln},         {"sys.rln", sys_rln},         {"sys.time", sys_time},
    {"sys.toTime", sys_toTime}, {"sys.sysTime", sys_sysTime}, {"sys.date", sys_date},       {"sys.year", sys_year},
    {"sys.month", sys_month},   {"sys.yday", sys_yday},       {"sys.mday", sys_mday},       {"sys.wday", sys_wday},
    {"sys.hour", sys_hour},     {"sys.min", sys_min},         {"sys.sec", sys_sec},         {"sys.sleep", sys_sleep},
    {"sys.path", sys_path},     {"sys.ver", sys_ver},         {"sys.execute", sys_execute},
};

}  // namespace

void sys_init() {
    ZK_RegisterNatives(kNatives);
    sys_initProcess();
}

}  // namespace zorvik
