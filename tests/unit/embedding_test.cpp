// What an embedding host relies on beyond a single run: the standard native
// libraries, opened once, serve every run, and an open file outlives the run
// that opened it until the libraries are closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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

// A host's callbacks in place of the C streams, and a record of what they saw.
struct Console {
    std::vector<std::string> events;  // "out:" and "err:" pieces in the order they came
    std::string input;
    size_t at = 0, piece = 3;  // bytes handed per read, so lines arrive split
    bool failAtEnd = false;    // a read error instead of the end of input
    bool refuse = false;       // the output callback loses what it gets
    std::string outputAtFirstRead = "(no read)";

    std::string Out() const { return Joined("out:"); }
    std::string Err() const { return Joined("err:"); }
    std::string Joined(const std::string& kind) const {
        std::string text;
        for (const std::string& e : events)
            if (e.starts_with(kind)) text += e.substr(kind.size());
        return text;
    }
};

bool ToOut(void* user, const char* data, size_t length) {
    auto* c = static_cast<Console*>(user);
    c->events.push_back("out:" + std::string(data, length));
    return !c->refuse;
}

bool ToErr(void* user, const char* data, size_t length) {
    static_cast<Console*>(user)->events.push_back("err:" + std::string(data, length));
    return true;
}

ptrdiff_t FromInput(void* user, char* buffer, size_t capacity) {
    auto* c = static_cast<Console*>(user);
    if (c->outputAtFirstRead == "(no read)") c->outputAtFirstRead = c->Out();
    if (c->at == c->input.size()) return c->failAtEnd ? -1 : 0;
    size_t n = std::min({c->piece, capacity, c->input.size() - c->at});
    std::memcpy(buffer, c->input.data() + c->at, n);
    c->at += n;
    return static_cast<ptrdiff_t>(n);
}

// Sets the callbacks for one test and puts the C streams back after it.
struct Hooked {
    explicit Hooked(Console& c) {
        ZK_SetOutput(ToOut, &c);
        ZK_SetErrorOutput(ToErr, &c);
        ZK_SetInput(FromInput, &c);
    }
    ~Hooked() {
        ZK_SetOutput(nullptr, nullptr);
        ZK_SetErrorOutput(nullptr, nullptr);
        ZK_SetInput(nullptr, nullptr);
    }
};

void HostSay() {
    const Var* v = ZK_GetLocalVariable("v");
    ZK_Write(Var_GetString(v), std::strlen(Var_GetString(v)));
}

const std::string kConsoleWrappers =
    "write = function (v) { __CALL \"sys.write\"; };\n"
    "wln = function (v) { __CALL \"sys.wln\"; };\n"
    "rln = function () { __CALL \"sys.rln\"; return r; };\n"
    "eof = function () { __CALL \"sys.eof\"; return r; };\n"
    "say = function (v) { __CALL \"host.say\"; };\n";

std::string Global(const char* path) {
    const Var* v = ZK_GetGlobalVariable(path);
    return ZK_IsString(v) ? Var_GetString(v) : ZK_IsNumber(v) ? std::to_string(Var_GetNumber(v)) : "(undefined)";
}

// What scripts print, a native's own writes among it, and the report of a
// failed run reach the host's callbacks in order; a run that ends well
// reports nothing; output the callback loses fails ZK_FinishOutput.
TEST(Embedding, OutputAndErrorReportGoToTheHostsCallbacks) {
    Console c;
    Hooked hooked(c);
    ZK_Init();
    ZK_OpenStandardLibraries();
    ZK_RegisterNativeFunc("host.say", HostSay);
    const std::string good = kConsoleWrappers +
                             "wln(\"a\"); say(\"<host>\"); write(12.7); wln(\"\");\n"
                             "x = \"v\"; x.k = 3; debug(0, x);\nexit(3, \"bye\");";
    EXPECT_EQ(ZK_RunString("good.z", good.data(), good.size()), 3);
    EXPECT_EQ(c.Out(), "a\n<host>12\nv\n[\n  k: 3\n]\n");
    EXPECT_EQ(c.Err(), "");  // the text of exit is the host's to show

    c.events.clear();
    const std::string bad = kConsoleWrappers + "wln(\"before\");\ny = 1 + nothing;";
    EXPECT_EQ(ZK_RunString("bad.z", bad.data(), bad.size()), ERROR_EXIT);
    ASSERT_EQ(c.events.size(), 2u);
    EXPECT_EQ(c.events[0], "out:before\n");
    EXPECT_EQ(c.events[1], "err:" + std::string(ZK_GetExitMessage()) + "\n" + ZK_GetErrorContext());
    EXPECT_NE(c.Err().find("ERROR (bad.z:7:"), std::string::npos);

    c.events.clear();
    c.refuse = true;
    const std::string lost = kConsoleWrappers + "wln(\"lost\");";
    EXPECT_EQ(ZK_RunString("lost.z", lost.data(), lost.size()), 0);
    ZK_Terminate();
    EXPECT_TRUE(ZK_CloseStandardLibraries());
    EXPECT_FALSE(ZK_FinishOutput());
    EXPECT_EQ(c.Err(), "zorvik: could not write standard output\n");
}

// Lines come from the host's callback however it splits them, with the
// rules of standard input: a prompt is handed over before the first read, a
// last line without its break is a line and eof() turns 1 only with the
// read after it; a read error is named once and ends the input, keeping
// the part of a line that came before it.
TEST(Embedding, InputFromTheHostsCallback) {
    Console c;
    c.input = "one\r\ntwo\nlast";
    Hooked hooked(c);
    ZK_Init();
    ZK_OpenStandardLibraries();
    const std::string read = kConsoleWrappers +
                             "write(\"name? \"); a = rln(); b = rln(); c = rln(); e1 = eof();\n"
                             "d = rln(); e2 = eof();";
    EXPECT_EQ(ZK_RunString("read.z", read.data(), read.size()), 0);
    EXPECT_EQ(c.outputAtFirstRead, "name? ");
    EXPECT_EQ(Global("a"), "one\r");
    EXPECT_EQ(Global("b"), "two");
    EXPECT_EQ(Global("c"), "last");
    EXPECT_EQ(Global("e1"), std::to_string(0.0));
    EXPECT_EQ(Global("d"), "");
    EXPECT_EQ(Global("e2"), std::to_string(1.0));

    Console broken;
    broken.input = "whole\npar";
    broken.failAtEnd = true;
    ZK_SetInput(FromInput, &broken);
    const std::string failing = kConsoleWrappers + "a = rln(); b = rln(); c = rln(); d = rln(); e = eof();";
    EXPECT_EQ(ZK_RunString("fail.z", failing.data(), failing.size()), 0);
    EXPECT_EQ(Global("a"), "whole");
    EXPECT_EQ(Global("b"), "par");
    EXPECT_EQ(Global("c"), "");
    EXPECT_EQ(Global("d"), "");
    EXPECT_EQ(Global("e"), std::to_string(1.0));
    EXPECT_EQ(c.Err(), "zorvik: could not read standard input\n");
    ZK_Terminate();
    ZK_CloseStandardLibraries();
    EXPECT_TRUE(ZK_FinishOutput());
}

}  // namespace
