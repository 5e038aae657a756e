// The tokenizer on inputs scripts cannot easily hold, and a host that runs
// several scripts in one process: every run starts clean.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "array/array.h"
#include "interpreter/runner.h"
#include "interpreter/tokens.h"
#include "interpreter/natives.h"

using namespace zorvik;

namespace {

class Interpreter : public testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/zorvik-unit-XXXXXX";
        dir_ = mkdtemp(name);
        ZK_Init();
        ZK_AddLibrarySearchPath((dir_ + "/").c_str());
    }
    void TearDown() override {
        ClearTokens();
        ZK_Terminate();
        std::filesystem::remove_all(dir_);
    }
    std::string Write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // Tokenizes `text`; returns the error message, or "" on success.
    std::string Tokenize(const std::string& text) {
        std::string path = Write("tokens.z", text);
        ClearTokens();
        try {
            ::Tokenize(path.c_str());
        } catch (const RunExit&) {
            return *sErrorMsg;
        }
        return "";
    }
    std::string Message() {
        const char* m = ZK_GetExitMessage();
        return m ? m : "(none)";
    }
    std::string dir_;
};

TEST_F(Interpreter, PositionsCountFromOneAndGoBeyondSixteenBits) {
    ASSERT_EQ(Tokenize(std::string(70000, '\n') + "\t x /* a\nb */y"), "");
    ASSERT_EQ(sTokens.size(), 3u);
    EXPECT_EQ(sTokens[0].line, 70001u);
    EXPECT_EQ(sTokens[0].column, 3u);
    EXPECT_EQ(sTokens[1].line, 70002u);
    EXPECT_EQ(sTokens[1].column, 5u);
    EXPECT_EQ(sTokens[2].type, TOKEN_EOF);
}

TEST_F(Interpreter, LargeAndBinaryInputNeverCrashesTheTokenizer) {
    std::string big;
    while (big.size() < 10u << 20) big += "a = b + 12.5; // comment\n";
    ASSERT_EQ(Tokenize(big), "");
    EXPECT_GT(sTokens.size(), 2000000u);
    EXPECT_EQ(sTokens.back().type, TOKEN_EOF);
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::string noise(4096, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        if (Tokenize(noise).empty()) {
            EXPECT_EQ(sTokens.back().type, TOKEN_EOF);
        }
    }
}

TEST_F(Interpreter, RunsReportResultsAndExitMessages) {
    EXPECT_EQ(ZK_Run(Write("ok.z", "x = 1;").c_str()), 0);
    EXPECT_EQ(Message(), "(none)");
    EXPECT_EQ(ZK_Run(Write("exit.z", "exit(-7, \"bye\");").c_str()), -7);
    EXPECT_EQ(Message(), "bye");
    EXPECT_EQ(ZK_Run(Write("bad.z", "x = ;").c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + dir_ + "/bad.z:1:5) Unexpected character");
}

TEST_F(Interpreter, ARunAfterAnErrorStartsClean) {
    // Fails deep in an expression, with strings on the value stack and a call in progress.
    std::string failing =
        Write("fail.z", "f = function (a) { return \"p\" + (\"q\" + (a * 2)); };\ny = \"s\" + f(\"t\");");
    EXPECT_EQ(ZK_Run(failing.c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + failing + ":1:45) * is undefined for strings");
    // Variables survive between runs; the scope numbering starts again at the top level.
    EXPECT_EQ(ZK_Run(Write("next.z", "g = function () { return 5; };\nexit(g() + 1);").c_str()), 6);
}

TEST_F(Interpreter, NothingOfARunOutlivesIt) {
    // Run 1 keeps function values in globals and ends in an error inside a
    // call that holds a local, and with a result pending.
    std::string first = Write("first.z",
                              "f = function () { return 7; };\n"
                              "g = function () { secret = 42; return 1 + \"x\"; };\n"
                              "h = function () { exit(3); };\n"
                              "k := g();");
    EXPECT_EQ(ZK_Run(first.c_str()), ERROR_EXIT);
    EXPECT_EQ(ZK_GetGlobalVariable("1"), nullptr);
    EXPECT_EQ(ZK_GetGlobalVariable("@"), nullptr);
    // Run 2 builds its own functions at the same indexes; run 1's values call none of them.
    std::string second = Write("second.z",
                               "a = function () { return 5; };\n"
                               "probe = function () { return defined(secret); };\n"
                               "x = probe();\n"
                               "exit(f());");
    EXPECT_EQ(ZK_Run(second.c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + second + ":4:8) Variable is not a function");
    EXPECT_EQ(ZK_GetGlobalVariable("x")->value.number, 0);
    // An exit inside a call leaves no scope either; with an empty table a stale value is refused too.
    EXPECT_EQ(ZK_Run(Write("exit.z", "h();").c_str()), ERROR_EXIT);
    EXPECT_EQ(ZK_Run(Write("third.z", "q = function () { exit(4); };\nq();").c_str()), 4);
    EXPECT_EQ(ZK_GetGlobalVariable("1"), nullptr);
    EXPECT_EQ(ZK_Run(Write("empty.z", "r = g();").c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + dir_ + "/empty.z:1:7) Variable is not a function");
    // Values of the current run still compare and call as before.
    EXPECT_EQ(ZK_Run(Write("same.z", "m = function () { return 9; }; n = m;\nif (m = n) { exit(n()); }").c_str()), 9);
}

TEST_F(Interpreter, ImportedFilesAreTokenizedAgainInEachRun) {
    Write("lib.z", "function () { v = 41; return v; }");
    EXPECT_EQ(ZK_Run(Write("main.z", "x := import(\"lib.z\");\nexit(x + 1);").c_str()), 42);
    EXPECT_EQ(ZK_Run(Write("other.z", "a = 1; b = 2; c = 3;\nx := import(\"lib.z\");\nexit(x);").c_str()), 41);
    Write("broken.z", "function () { return 1 +; }");
    EXPECT_EQ(ZK_Run(Write("user.z", "x := import(\"broken.z\");").c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (broken.z:1:25) Unexpected character");
}

// More named import directories than the search path holds: the first ones
// stay, and the script's own directory is still searched first.
TEST_F(Interpreter, ImportDirectoriesLeaveRoomForTheScriptsOwn) {
    ZK_Terminate();
    ZK_Init();
    std::filesystem::create_directories(dir_ + "/app");
    std::filesystem::create_directories(dir_ + "/first");
    Write("first/_which.z", "function () { return 1; };");
    Write("first/_first.z", "function () { return 2; };");
    Write("app/_which.z", "function () { return 3; };");
    std::vector<std::string> dirs(100, dir_ + "/none");
    dirs[0] = dir_ + "/first";
    std::string main = Write("app/main.z", "a := import(\"_which.z\"); b := import(\"_first.z\"); exit(a * 10 + b);");
    SetupPaths(main.c_str(), dirs);
    EXPECT_EQ(ZK_Run(main.c_str()), 32) << Message();
}

TEST_F(Interpreter, MoreThan65535FunctionLiteralsKeepTheirCache) {
    std::string script;
    for (int i = 0; i < 66000; ++i) script += "f = function () { return 1; };\n";
    // Literal number 66001, evaluated twice, must be the same function both times.
    script +=
        "for (i = 1, 2) { g = function () { return 7; }; if (i = 1) { h = g; } }\n"
        "if (g = h) { exit(g()); }";
    EXPECT_EQ(ZK_Run(Write("many.z", script).c_str()), 7);
}

// A host runs script text from memory: named as the host chooses in reports,
// with the error's context available after an error only.
TEST_F(Interpreter, ScriptTextRunsFromMemoryWithItsErrorContext) {
    std::string text = "#!/usr/bin/env zorvik\nexit(6 * 7);";
    EXPECT_EQ(ZK_RunString("inline", text.data(), text.size()), 42);
    EXPECT_EQ(ZK_GetErrorContext(), nullptr);
    // Everything after a NUL byte still counts: a NUL is an operator token.
    text = std::string("x = 1;\n\0\0", 9);
    EXPECT_EQ(ZK_RunString("nul", text.data(), text.size()), ERROR_EXIT);
    text = "f = function (v) {\n\treturn v * \"2\";\n};\n\nf(3);";
    EXPECT_EQ(ZK_RunString("text", text.data(), text.size()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (text:2:16) * is undefined between numbers and strings");
    ASSERT_NE(ZK_GetErrorContext(), nullptr);
    EXPECT_EQ(std::string(ZK_GetErrorContext()),
              "  \treturn v * \"2\";\n"
              "  \t              ^\n"
              "  called from text:5:1\n");
    // Control characters of the quoted line are not sent to the terminal;
    // a long line is cut to a window around the column.
    text = "x = 1; \x1b[2J y = ;";
    EXPECT_EQ(ZK_RunString("ctl", text.data(), text.size()), ERROR_EXIT);
    EXPECT_EQ(std::string(ZK_GetErrorContext()), "  x = 1; ?[2J y = ;\n         ^\n");
    text = "x = 1;" + std::string(300, ' ') + "y = ;" + std::string(300, ' ');
    EXPECT_EQ(ZK_RunString("long", text.data(), text.size()), ERROR_EXIT);
    std::string context = ZK_GetErrorContext();
    std::string window = "..." + text.substr(310 - 80, 160) + "...";
    EXPECT_EQ(context, "  " + window + "\n  " + std::string(window.find("y = ;") + 4, ' ') + "^\n");
    // A hint is a line of the context; the report stays as it is.
    text = "nosuch(1);";
    EXPECT_EQ(ZK_RunString("hint", text.data(), text.size()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (hint:1:8) Variable is not a function");
    EXPECT_EQ(std::string(ZK_GetErrorContext()), "  nosuch(1);\n         ^\n  hint: nosuch is undefined\n");
    // The next clean run clears it.
    EXPECT_EQ(ZK_RunString("ok", "x = 1;", 6), 0);
    EXPECT_EQ(ZK_GetErrorContext(), nullptr);
}

// A native reads its arguments as locals of the calling scope and leaves its
// result in the local r, with members for array results.
void NativePair() {
    Var* x = ZK_GetLocalVariable("x");
    double v = x && x->type == VAR_NUMBER ? x->value.number : -1;
    Var_SetNumber(ZK_CreateLocalVariable("r.0"), v);
    Var_SetNumber(ZK_CreateLocalVariable("r.1"), v * 2);
    Var_SetNumber(ZK_CreateLocalVariable("r"), 2);
}
void NativeFail() { ZK_Error(nullptr); }

TEST_F(Interpreter, NativeFunctionsReadLocalsAndReportErrors) {
    EXPECT_EQ(ZK_RegisterNativeFunc("t.pair", NativePair), 1);
    EXPECT_EQ(ZK_RegisterNativeFunc("t.pair", NativeFail), 0);  // the first registration stays
    EXPECT_EQ(ZK_RegisterNativeFunc("t.fail", NativeFail), 1);
    std::string script = Write("native.z",
                               "pair = function (x) { __CALL \"t.pair\"; return r; };\n"
                               "p := pair(21);\nexit(p * 1000 + p[0] + p[1]);");
    EXPECT_EQ(ZK_Run(script.c_str()), 2063);
    EXPECT_EQ(ZK_Run(Write("fail.z", "f = function () { __CALL \"t.fail\"; };\nf();").c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + dir_ + "/fail.z:1:26) Undefined error in native function");
}

// An insert that would push an element past the largest index fails before
// it moves anything; the host still finds the array as it was.
TEST_F(Interpreter, FailedInsertLeavesTheArrayUnchanged) {
    array_init();
    std::string script = Write("insert.z",
                               "insert = function (ref a, i) { __CALL \"array.insert\"; };\n"
                               "top[2147483645] = 1; top[2147483646] = 2; top[2147483647] = 3;\n"
                               "insert(top, 2147483645);");
    EXPECT_EQ(ZK_Run(script.c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + dir_ + "/insert.z:1:39) Index out of range");
    for (int i = 0; i < 3; ++i) {
        const Var* element = ZK_GetGlobalVariable(("top." + std::to_string(2147483645 + i)).c_str());
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->value.number, i + 1);
    }
    EXPECT_EQ(MM_VarSubCount("top"), 3);
}

}  // namespace
