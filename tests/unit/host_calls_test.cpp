// A host that loads a script and calls its functions: by name and through
// values it kept, with arguments and results, errors that leave the state
// usable, and the lifetime of the values it keeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "interpreter/zorvik.h"

namespace {

// A script file that lives as long as the test.
struct ScriptFile {
    explicit ScriptFile(const std::string& text) {
        char name[] = "/tmp/zorvik-calls-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        path = name;
        std::ofstream(path) << text;
    }
    ~ScriptFile() { std::remove(path.c_str()); }
    std::string path;
};

// Values made for one test and freed after it.
struct Values {
    ZK_Value* Number(double n) {
        ZK_Value* v = Make();
        ZK_SetNumber(v, n);
        return v;
    }
    ZK_Value* String(const std::string& s) {
        ZK_Value* v = Make();
        ZK_SetString(v, s.data(), s.size());
        return v;
    }
    ZK_Value* Make() { return made.emplace_back(ZK_NewValue()); }
    ~Values() {
        for (ZK_Value* v : made) ZK_FreeValue(v);
    }
    std::vector<ZK_Value*> made;
};

std::string Text(const ZK_Value* v) {
    switch (ZK_TypeOf(v)) {
        case ZK_NUMBER: return std::to_string(ZK_GetNumber(v));
        case ZK_STRING: return ZK_GetString(v);
        case ZK_FUNCTION: return "(function)";
        case ZK_UNDEFINED: return "(undefined)";
        default: return "(missing)";
    }
}

std::string ErrorLine() {
    const char *file = nullptr, *message = nullptr;
    int32_t line = -1, column = -1;
    if (!ZK_GetError(&file, &line, &column, &message)) return "(no error)";
    return std::string(file) + ":" + std::to_string(line) + ":" + std::to_string(column) + " " + message;
}

const char kScript[] =
    "count = 0;\nmade = 0;\n"
    "add = function (a, b) { extern count; count += 1; return a + b; };\n"
    "shop.base = 100;\n"
    "shop.price = function (n) { return self.base + n; };\n"
    "pair = function (x) { r.first = x; r.second = \"two\"; r.inner.deep = x * 2; return r; };\n"
    "quiet = function () { extern count; count += 10; };\n"
    "bump = function (ref v, by) { v = v + by; };\n"
    "fail = function (x) { extern made; made = x; return x + nothing; };\n"
    "leave = function () { exit(4); };\n"
    "doom.m = function () { extern doom; delete doom; return self; };\n"
    "doom.value = 9;\n";

// Calls by name see the loaded script's globals and keep their changes;
// arguments bind by value or by reference; results come back with their
// members; later entries see what the calls did.
TEST(HostCalls, CallsByNameKeepTheLoadedState) {
    ScriptFile file(kScript);
    ZK_Init();
    bool exited = true;
    ASSERT_EQ(ZK_Load(file.path.c_str(), &exited), 0) << ZK_GetExitMessage();
    EXPECT_FALSE(exited);
    Values v;
    ZK_Value* result = v.Make();

    ZK_Value* args[] = {v.Number(3), v.Number(4)};
    EXPECT_EQ(ZK_Call("add", args, 2, result, &exited), 0);
    EXPECT_EQ(Text(result), "7.000000");
    ZK_Value* strings[] = {v.String("ab"), v.String("cd")};
    EXPECT_EQ(ZK_Call("add", strings, 2, result, nullptr), 0);
    EXPECT_EQ(Text(result), "abcd");
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("count")), 2);

    // A method: the record that holds it is its `self`.
    ZK_Value* five[] = {v.Number(5)};
    EXPECT_EQ(ZK_Call("shop.price", five, 1, result, nullptr), 0);
    EXPECT_EQ(Text(result), "105.000000");

    // A record result replaces the result's value and members.
    ZK_SetNumber(ZK_CreateMember(result, "stale"), 1);
    EXPECT_EQ(ZK_Call("pair", five, 1, result, nullptr), 0);
    EXPECT_EQ(ZK_MemberCount(result), 3u);
    EXPECT_EQ(ZK_GetMember(result, "stale"), nullptr);
    EXPECT_EQ(Text(ZK_GetMember(result, "first")), "5.000000");
    EXPECT_EQ(Text(ZK_GetMember(result, "second")), "two");
    EXPECT_EQ(Text(ZK_GetMember(result, "inner.deep")), "10.000000");

    // No return value: the result is undefined; a missing argument too.
    EXPECT_EQ(ZK_Call("quiet", nullptr, 0, result, nullptr), 0);
    EXPECT_EQ(ZK_TypeOf(result), ZK_UNDEFINED);
    EXPECT_EQ(ZK_MemberCount(result), 0u);
    EXPECT_EQ(ZK_Call("quiet", nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("count")), 22);
    ZK_Value* partial[] = {v.Number(1)};
    EXPECT_EQ(ZK_Call("add", partial, 1, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), file.path + ":3:63 + is undefined between numbers and undefined");

    // By reference: the variable passed is the one the body changes, be it
    // a script's global or a value the host keeps.
    ZK_Value* total = ZK_CreateGlobalVariable("total");
    ZK_SetNumber(total, 1);
    ZK_Value* kept = v.Number(40);
    ZK_Value* byRef[] = {total, v.Number(2)};
    EXPECT_EQ(ZK_Call("bump", byRef, 2, nullptr, nullptr), 0);
    byRef[0] = kept;
    EXPECT_EQ(ZK_Call("bump", byRef, 2, nullptr, nullptr), 0);
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("total")), 3);
    EXPECT_EQ(ZK_GetNumber(kept), 42);

    // A method that deletes the record holding it, and so itself.
    EXPECT_EQ(ZK_Call("doom.m", nullptr, 0, result, nullptr), 0) << ZK_GetExitMessage();
    EXPECT_EQ(ZK_TypeOf(result), ZK_UNDEFINED);
    EXPECT_EQ(ZK_GetGlobalVariable("doom"), nullptr);

    // The next entry sees it all.
    const char entry[] = "seen = count + total + shop.price(1);";
    EXPECT_EQ(ZK_RunEntry(entry, sizeof entry - 1, &exited), 0) << ZK_GetExitMessage();
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("seen")), 23 + 3 + 101);  // the failed call counted too
    ZK_EndSession();
    ZK_Terminate();
}

// An error inside a call is reported in parts and through the error output,
// with the call from the host in its context; the calls in progress are
// dropped and the state serves the next call. Calls that cannot start say
// why, at no position; `exit` ends a call with its value.
TEST(HostCalls, ErrorsLeaveTheStateUsable) {
    ScriptFile file(kScript);
    std::string reports;
    ZK_SetErrorOutput(
        [](void* user, const char* data, size_t length) {
            static_cast<std::string*>(user)->append(data, length);
            return true;
        },
        &reports);
    ZK_Init();
    ASSERT_EQ(ZK_Load(file.path.c_str(), nullptr), 0) << ZK_GetExitMessage();
    Values v;
    ZK_Value* result = v.String("untouched");
    ZK_Value* one[] = {v.Number(1)};
    EXPECT_EQ(ZK_Call("fail", one, 1, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), file.path + ":9:64 + is undefined between numbers and undefined");
    EXPECT_EQ(Text(result), "untouched");
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("made")), 1);  // what the call did before the error stays
    const std::string context = ZK_GetErrorContext();
    EXPECT_NE(context.find("  called from the host\n"), std::string::npos) << context;
    EXPECT_EQ(reports, std::string(ZK_GetExitMessage()) + "\n" + context);

    ZK_Value* args[] = {v.Number(2), v.Number(3)};
    EXPECT_EQ(ZK_Call("add", args, 2, result, nullptr), 0);
    EXPECT_EQ(Text(result), "5.000000");
    EXPECT_EQ(ZK_GetError(nullptr, nullptr, nullptr, nullptr), false);

    EXPECT_EQ(ZK_Call("nothing.here", nullptr, 0, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), file.path + ":0:0 \"nothing.here\" is not a function");
    EXPECT_EQ(ZK_Call("count", nullptr, 0, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), file.path + ":0:0 \"count\" is not a function");
    ZK_Value* three[] = {args[0], args[1], args[0]};
    EXPECT_EQ(ZK_Call("add", three, 3, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), file.path + ":0:0 Too many parameters in function call");
    ZK_Value* noVariable[] = {nullptr, args[0]};
    EXPECT_EQ(ZK_Call("bump", noVariable, 2, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), file.path + ":0:0 Expected variable as argument");
    EXPECT_EQ(ZK_CallValue(args[0], nullptr, 0, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), file.path + ":0:0 Value is not a function");

    bool exited = false;
    EXPECT_EQ(ZK_Call("leave", nullptr, 0, result, &exited), 4);
    EXPECT_TRUE(exited);

    // A stop asked for between calls stops the next one at its start.
    ZK_Interrupt();
    EXPECT_EQ(ZK_Call("quiet", nullptr, 0, nullptr, nullptr), ERROR_EXIT);
    EXPECT_NE(ErrorLine().find(" Interrupted"), std::string::npos);
    EXPECT_EQ(ZK_Call("add", args, 2, result, nullptr), 0);
    ZK_EndSession();
    ZK_Terminate();
    ZK_SetErrorOutput(nullptr, nullptr);
}

// A callback: a native keeps the function value a script gave it, and the
// host calls it after the load. After the session the kept value no longer
// calls anything.
ZK_Value* sHandler = nullptr;

void OnEvent() { ZK_CopyValue(sHandler, ZK_GetLocalVariable("f")); }

TEST(HostCalls, KeptFunctionValuesAreCallbacks) {
    ZK_Init();
    ZK_RegisterNativeFunc("host.on", OnEvent);
    sHandler = ZK_NewValue();
    ZK_BeginSession("events.z");
    const char script[] =
        "on = function (f) { __CALL \"host.on\"; };\n"
        "log = \"\";\n"
        "on(function (what, n) { extern log; log = log + what; return n * 2; });\n";
    ASSERT_EQ(ZK_RunEntry(script, sizeof script - 1, nullptr), 0) << ZK_GetExitMessage();
    EXPECT_EQ(ZK_TypeOf(sHandler), ZK_FUNCTION);
    Values v;
    ZK_Value* result = v.Make();
    ZK_Value* args[] = {v.String("a"), v.Number(21)};
    EXPECT_EQ(ZK_CallValue(sHandler, args, 2, result, nullptr), 0) << ZK_GetExitMessage();
    EXPECT_EQ(Text(result), "42.000000");
    args[0] = v.String("b");
    EXPECT_EQ(ZK_CallValue(sHandler, args, 2, result, nullptr), 0);
    EXPECT_EQ(Text(ZK_GetGlobalVariable("log")), "ab");
    // The script may drop its own copy: the host's stays.
    const char drop[] = "on = 0;";
    EXPECT_EQ(ZK_RunEntry(drop, sizeof drop - 1, nullptr), 0);
    EXPECT_EQ(ZK_CallValue(sHandler, args, 2, result, nullptr), 0);
    ZK_EndSession();
    EXPECT_EQ(ZK_TypeOf(sHandler), ZK_FUNCTION);
    EXPECT_EQ(ZK_CallValue(sHandler, args, 2, result, nullptr), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), ":0:0 Value is not a function");
    ZK_FreeValue(sHandler);
    ZK_Terminate();
}

// host.each(f, n): calls f(i) for i = 0 .. n-1 while the script runs, and
// returns the sum of the results.
void Each() {
    ZK_Value* f = ZK_GetLocalVariable("f");
    int32_t n = ZK_IntArg("n", "each expected number");
    ZK_Value* i = ZK_NewValue();
    ZK_Value* result = ZK_NewValue();
    double sum = 0;
    for (int32_t k = 0; k < n; ++k) {
        ZK_SetNumber(i, k);
        bool exited = true;
        int32_t status = ZK_CallValue(f, &i, 1, result, &exited);
        if (status != 0 || exited) sum = -1000;  // a status other than 0 never comes back here
        sum += ZK_GetNumber(result);
    }
    ZK_FreeValue(i);
    ZK_FreeValue(result);
    ZK_SetNumber(ZK_CreateLocalVariable("r"), sum);
}

// A call that a native makes while the script runs is one of the script's
// own: it sees and changes the script's variables, nests (a callback that
// calls the native again), runs in loops that the fast path compiles, and
// leaves the native's statement to go on where it was. Its error ends the
// run, reported inside the callback with the native's call below it.
TEST(HostCalls, NativesCallBackIntoTheRunningScript) {
    ZK_Init();
    ZK_RegisterNativeFunc("host.each", Each);
    const char script[] =
        "each = function (f, n) { __CALL \"host.each\"; return r; };\n"
        "seen = \"\";\n"
        "sq = function (x) { extern seen; seen = seen + tostring(x); return x * x; };\n"
        "total = 0; k = 0;\n"
        "while (k < 3) { total = total + each(sq, 4); k = k + 1; }\n"
        "nested = each(function (x) { extern each, sq; return each(sq, x) + 100; }, 3);\n"
        "after = 1;\n";
    ASSERT_EQ(ZK_RunString("each.z", script, sizeof script - 1), 0) << ZK_GetExitMessage();
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("total")), 3 * (0 + 1 + 4 + 9));
    // each(sq, 0) + each(sq, 1) + each(sq, 2) and 100 for each of them
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("nested")), 0 + 0 + (0 + 1) + 300);
    EXPECT_EQ(Text(ZK_GetGlobalVariable("seen")), "012301230123001");
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("after")), 1);

    const char failing[] =
        "each = function (f, n) { __CALL \"host.each\"; return r; };\n"
        "bad = function (x) {\n  if (x = 2) { return x + nothing; }\n  return x;\n};\n"
        "t = each(bad, 5);\n"
        "never = 1;\n";
    EXPECT_EQ(ZK_RunString("fail.z", failing, sizeof failing - 1), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), "fail.z:3:34 + is undefined between numbers and undefined");
    const std::string context = ZK_GetErrorContext();
    EXPECT_NE(context.find("  called from the host\n  called from fail.z:6:5"), std::string::npos) << context;
    EXPECT_EQ(ZK_GetGlobalVariable("never"), nullptr);

    const char notFunction[] =
        "each = function (f, n) { __CALL \"host.each\"; return r; };\n"
        "t = each(5, 1);\n";
    EXPECT_EQ(ZK_RunString("nf.z", notFunction, sizeof notFunction - 1), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), "nf.z:1:33 Value is not a function");

    // A callback that deletes the native's own function and what the loop
    // around it reads: the next pass finds no function there.
    const char deleting[] =
        "each = function (f, n) { __CALL \"host.each\"; return r; };\n"
        "items.a = 1;\n"
        "killer = function (x) { extern items, each; delete items; delete each; return x + 1; };\n"
        "i = 0; s = 0;\n"
        "while (i < 3) { s = s + each(killer, 2); i = i + 1; }\n";
    EXPECT_EQ(ZK_RunString("del.z", deleting, sizeof deleting - 1), ERROR_EXIT);
    EXPECT_EQ(ErrorLine(), "del.z:5:29 + is undefined between numbers and undefined");
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("s")), 3);
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("i")), 1);
    EXPECT_EQ(ZK_GetGlobalVariable("items"), nullptr);

    const char leaving[] =
        "each = function (f, n) { __CALL \"host.each\"; return r; };\n"
        "t = each(function (x) { exit(7); }, 2);\n"
        "never = 1;\n";
    EXPECT_EQ(ZK_RunString("exit.z", leaving, sizeof leaving - 1), 7);
    EXPECT_EQ(ZK_GetGlobalVariable("never"), nullptr);
    ZK_Terminate();
}

// Kept values hold records; a copy is a deep one, also from a member of
// the value it replaces; values still kept at ZK_Terminate are freed there.
TEST(HostCalls, KeptValuesCopyDeepAndEndWithTheInterpreter) {
    ZK_Init();
    const char script[] = "cfg.name = \"n\"; cfg.sub.x = 1; cfg.sub.y = 2; cfg.sub.y.z = 3;";
    ASSERT_EQ(ZK_RunString("cfg.z", script, sizeof script - 1), 0);
    ZK_Value* copy = ZK_NewValue();
    ZK_CopyValue(copy, ZK_GetGlobalVariable("cfg"));
    ZK_DeleteGlobalVariable("cfg");
    EXPECT_EQ(Text(ZK_GetMember(copy, "name")), "n");
    EXPECT_EQ(Text(ZK_GetMember(copy, "sub.y.z")), "3.000000");
    ZK_CopyValue(copy, ZK_GetMember(copy, "sub"));
    EXPECT_EQ(ZK_MemberCount(copy), 2u);
    EXPECT_EQ(Text(ZK_GetMember(copy, "x")), "1.000000");
    EXPECT_EQ(Text(ZK_GetMember(copy, "y.z")), "3.000000");
    ZK_CopyValue(copy, nullptr);
    EXPECT_EQ(ZK_TypeOf(copy), ZK_UNDEFINED);
    EXPECT_EQ(ZK_MemberCount(copy), 0u);
    ZK_FreeValue(nullptr);
    ZK_Value* left = ZK_NewValue();
    ZK_SetString(ZK_CreateMember(left, "a.b"), "kept", 4);
    ZK_FreeValue(copy);
    ZK_Terminate();  // frees `left`, members and all
}

}  // namespace
