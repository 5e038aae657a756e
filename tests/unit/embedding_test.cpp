// What an embedding host relies on beyond a single run: the standard native
// libraries, opened once, serve every run, and an open file outlives the run
// that opened it until the libraries are closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "interpreter/zorvik.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Embedding, StandardLibrariesServeEveryRunAndCloseLeftoverFiles) {
    char name[] = "/tmp/zorvik-embed-XXXXXX";
    const std::string dir = mkdtemp(name);
    const std::string out = dir + "/out.txt";
    auto script = [&](const std::string& file, const std::string& text) {
        std::ofstream(dir + "/" + file, std::ios::binary) << text;
        return dir + "/" + file;
    };
    const std::string wrappers =
        "create = function (p) { __CALL \"file.create\"; return r; };\n"
        "wln = function (f, v) { __CALL \"file.wln\"; return r; };\n";

    ZK_Init();
    ZK_OpenStandardLibraries();
    // The first run leaves its file open; the handle is a global, so it survives.
    const int32_t handle =
        ZK_Run(script("one.z", wrappers + "h = create(\"" + out + "\");\nwln(h, \"first\");\nexit(h);").c_str());
    EXPECT_GT(handle, 0);
    // The second run defines its wrappers again (functions do not survive) and
    // writes through the first run's handle.
    EXPECT_EQ(ZK_Run(script("two.z", wrappers + "exit(wln(h, \"second\"));").c_str()), 7);  // bytes written
    EXPECT_EQ(ZK_GetExitMessage(), nullptr);
    ZK_Terminate();
    ZK_CloseStandardLibraries();
    EXPECT_EQ(ReadFile(out), "first\nsecond\n");

    // After a new start-up the libraries open again with no handle left over:
    // the old handle number writes nothing.
    ZK_Init();
    ZK_OpenStandardLibraries();
    const std::string reuse = "exit(wln(" + std::to_string(handle) + ", \"lost\"));";
    EXPECT_EQ(ZK_Run(script("three.z", wrappers + reuse).c_str()), 0);
    ZK_Terminate();
    ZK_CloseStandardLibraries();
    EXPECT_EQ(ReadFile(out), "first\nsecond\n");
    std::filesystem::remove_all(dir);
}

struct Counter {
    int calls = 0;
};

void CountCall() {
    auto* counter = static_cast<Counter*>(ZK_NativeContext());
    ZK_CreateLocalVariable("r")->type = VAR_NUMBER;
    Var_SetNumber(ZK_GetLocalVariable("r"), ++counter->calls);
}

void ThrowStd() { throw std::runtime_error("disk on\nfire"); }

void ThrowOther() { throw 7; }

std::string Report() {
    const char *file = nullptr, *message = nullptr;
    int32_t line = -1, column = -1;
    if (!ZK_GetError(&file, &line, &column, &message)) return "none";
    return std::string(file) + "|" + std::to_string(line) + "|" + std::to_string(column) + "|" + message;
}

// A native reads back the pointer it was registered with; an exception that
// leaves a native is the run's error, naming the native, at its __CALL; the
// parts of an error report are there one by one, and the host goes on.
TEST(Embedding, NativesWithContextAndFailuresReportedInParts) {
    Counter counter;
    ZK_Init();
    EXPECT_EQ(ZK_RegisterNativeFuncWithContext("host.count", CountCall, &counter), 1);
    EXPECT_EQ(ZK_RegisterNativeFuncWithContext("host.count", ThrowStd, nullptr), 0);  // keeps the first
    ZK_RegisterNativeFunc("host.fail", ThrowStd);
    ZK_RegisterNativeFunc("host.odd", ThrowOther);
    const std::string count = "count = function () { __CALL \"host.count\"; return r; };\n";
    const std::string count_twice = count + "count();\nexit(count());";
    EXPECT_EQ(ZK_RunString("ctx.z", count_twice.data(), count_twice.size()), 2);
    EXPECT_EQ(counter.calls, 2);
    EXPECT_EQ(ZK_NativeContext(), nullptr);
    EXPECT_EQ(Report(), "none");

    const std::string fail = "x = 1;\nf = function () { __CALL \"host.fail\"; };\nf();";
    EXPECT_EQ(ZK_RunString("fail.z", fail.data(), fail.size()), ERROR_EXIT);
    EXPECT_EQ(Report(), "fail.z|2|26|host.fail failed: disk on\\nfire");
    EXPECT_STREQ(ZK_GetExitMessage(), "ERROR (fail.z:2:26) host.fail failed: disk on\\nfire");
    EXPECT_NE(std::strstr(ZK_GetErrorContext(), "__CALL"), nullptr);

    const std::string odd = "__CALL \"host.odd\";";
    EXPECT_EQ(ZK_RunString("odd.z", odd.data(), odd.size()), ERROR_EXIT);
    EXPECT_EQ(Report(), "odd.z|1|8|host.odd failed");

    // The state is usable after both failures.
    EXPECT_EQ(ZK_RunString("again.z", count_twice.data(), count_twice.size()), 4);
    EXPECT_EQ(Report(), "none");
    EXPECT_EQ(ZK_Run("/nonexistent/dir/x.z"), ERROR_EXIT);
    EXPECT_EQ(Report(), "/nonexistent/dir/x.z|0|0|Could not open \"/nonexistent/dir/x.z\"");
    ZK_Terminate();
    EXPECT_EQ(Report(), "none");
}

}  // namespace
