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
    ZK_SetNumber(ZK_CreateLocalVariable("r"), ++counter->calls);
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
    size_t length = 0;
    const char* text = ZK_GetString(ZK_GetLocalVariable("v"), &length);
    ZK_Write(text, length);
}

const std::string kConsoleWrappers =
    "write = function (v) { __CALL \"sys.write\"; };\n"
    "wln = function (v) { __CALL \"sys.wln\"; };\n"
    "rln = function () { __CALL \"sys.rln\"; return r; };\n"
    "eof = function () { __CALL \"sys.eof\"; return r; };\n"
    "say = function (v) { __CALL \"host.say\"; };\n";

std::string Global(const char* path) {
    const ZK_Value* v = ZK_GetGlobalVariable(path);
    return ZK_IsString(v) ? ZK_GetString(v) : ZK_IsNumber(v) ? std::to_string(ZK_GetNumber(v)) : "(undefined)";
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

// A script's error message, or "ok" after a run without one.
std::string RunMessage(const std::string& name, const std::string& text) {
    if (ZK_RunString(name.c_str(), text.data(), text.size()) != ERROR_EXIT) return "ok";
    const char* message = nullptr;
    return ZK_GetError(nullptr, nullptr, nullptr, &message) ? message : "(no report)";
}

// The documented sandbox: all libraries but the shell and sleep, files only
// inside one directory. Hostile scripts are each refused with an error
// that names what they tried and change nothing outside; what stays inside
// works, relative paths taken from the sandbox directory.
TEST(Embedding, SandboxRefusesTheShellSleepAndFilesOutsideItsDirectory) {
    char name[] = "/tmp/zorvik-sandbox-XXXXXX";
    const std::string top = mkdtemp(name);
    const std::string box = top + "/box", outside = top + "/outside";
    std::filesystem::create_directories(box);
    std::filesystem::create_directories(outside);
    std::ofstream(box + "/ok.txt") << "inside\n";
    std::ofstream(box + "/lib.z") << "function () { return 5; };";
    std::ofstream(outside + "/secret.txt") << "secret\n";
    std::ofstream(outside + "/evil.z") << "function () { return 6; };";
    std::filesystem::create_directory_symlink("/etc", box + "/etc");
    std::filesystem::create_symlink(outside + "/secret.txt", box + "/secret.txt");
    std::filesystem::create_symlink(outside + "/new.txt", box + "/dangling");
    std::filesystem::create_symlink(outside + "/evil.z", box + "/evil.z");

    ZK_Init();
    ZK_AddLibrarySearchPath((box + "/").c_str());
    ZK_OpenStandardLibraries();
    EXPECT_EQ(ZK_DisableNative("sys.execute"), 1);
    EXPECT_EQ(ZK_DisableNative("sys.sleep"), 1);
    EXPECT_EQ(ZK_DisableNative("sys.nothing"), 0);
    ASSERT_TRUE(ZK_SetSandboxDirectory(box.c_str()));
    const std::string natives =
        "execute = function (x) { __CALL \"sys.execute\"; return r; };\n"
        "sleep = function (t) { __CALL \"sys.sleep\"; };\n"
        "open = function (p) { __CALL \"file.open\"; return r; };\n"
        "create = function (p) { __CALL \"file.create\"; return r; };\n"
        "wln = function (f, v) { __CALL \"file.wln\"; return r; };\n"
        "rln = function (f, ref v) { __CALL \"file.rln\"; return r; };\n"
        "close = function (f) { __CALL \"file.close\"; return r; };\n"
        "remove = function (p) { __CALL \"file.remove\"; return r; };\n"
        "rename = function (p, q) { __CALL \"file.rename\"; return r; };\n"
        "mkdir = function (p) { __CALL \"file.mkdir\"; return r; };\n"
        "chmod = function (p, m) { __CALL \"file.chmod\"; return r; };\n"
        "info = function (p, ref v) { __CALL \"file.info\"; return r; };\n"
        "list = function (p) { __CALL \"file.list\"; return r; };\n"
        "cd = function (p) { __CALL \"file.cd\"; return r; };\n";
    const std::string secret = outside + "/secret.txt";
    const struct {
        std::string code, message;
    } hostile[] = {
        {"execute(\"touch " + outside + "/pwned\");", "sys.execute is disabled by the host"},
        {"sleep(100000);", "sys.sleep is disabled by the host"},
        {"open(\"/etc/passwd\");", "open refused \"/etc/passwd\": outside the sandbox directory"},
        {"open(\"../outside/secret.txt\");", "open refused \"../outside/secret.txt\": outside the sandbox directory"},
        {"open(\"secret.txt\");", "open refused \"secret.txt\": outside the sandbox directory"},
        {"open(\"etc/passwd\");", "open refused \"etc/passwd\": outside the sandbox directory"},
        {"create(\"dangling\");", "create refused \"dangling\": outside the sandbox directory"},
        {"create(\"../outside/new.txt\");", "create refused \"../outside/new.txt\": outside the sandbox directory"},
        {"list(\"etc\");", "list refused \"etc\": outside the sandbox directory"},
        {"list(\"..\");", "list refused \"..\": outside the sandbox directory"},
        {"info(\"" + secret + "\", v);", "info refused \"" + secret + "\": outside the sandbox directory"},
        {"remove(\"" + secret + "\");", "remove refused \"" + secret + "\": outside the sandbox directory"},
        {"rename(\"ok.txt\", \"../outside/moved.txt\");",
         "rename refused \"../outside/moved.txt\": outside the sandbox directory"},
        {"mkdir(\"nowhere/../../outside/made\");",
         "mkdir refused \"nowhere/../../outside/made\": outside the sandbox directory"},
        {"chmod(\"" + secret + "\", \"rwxrwxrwx\");",
         "chmod refused \"" + secret + "\": outside the sandbox directory"},
        {"cd(\"/\");", "cd is not allowed in the sandbox"},
        {"x := import(\"../outside/evil.z\");", "import refused \"../outside/evil.z\": outside the search path"},
        {"x := import(\"/etc/passwd\");", "import refused \"/etc/passwd\": outside the search path"},
        {"x := import(\"evil.z\");", "import refused \"evil.z\": outside the search path"},
    };
    for (const auto& script : hostile) EXPECT_EQ(RunMessage("hostile.z", natives + script.code), script.message);
    EXPECT_FALSE(std::filesystem::exists(outside + "/pwned"));
    EXPECT_FALSE(std::filesystem::exists(outside + "/new.txt"));
    EXPECT_FALSE(std::filesystem::exists(outside + "/moved.txt"));
    EXPECT_FALSE(std::filesystem::exists(outside + "/made"));
    EXPECT_EQ(ReadFile(secret), "secret\n");
    EXPECT_EQ(std::filesystem::status(secret).permissions() & std::filesystem::perms::others_exec,
              std::filesystem::perms::none);

    // A `..` after a directory that does not exist cannot be resolved.
    EXPECT_EQ(RunMessage("inside.z", natives + "create(\"sub/../made.txt\");"),
              "create refused \"sub/../made.txt\": outside the sandbox directory");
    const std::string fixed = natives +
                              "h = open(\"ok.txt\"); rln(h, line); close(h);\n"
                              "h = create(\"" +
                              box +
                              "/made.txt\"); wln(h, \"made\"); close(h);\n"
                              "made = mkdir(\"sub\") + rename(\"made.txt\", \"sub/moved.txt\");\n"
                              "n = list(\"\"); x := import(\"lib.z\");";
    EXPECT_EQ(RunMessage("inside.z", fixed), "ok");
    EXPECT_EQ(Global("line"), "inside");
    EXPECT_EQ(Global("made"), std::to_string(2.0));
    EXPECT_EQ(ReadFile(box + "/sub/moved.txt"), "made\n");
    EXPECT_EQ(Global("x"), std::to_string(5.0));
    ZK_Terminate();
    ZK_CloseStandardLibraries();

    // A directory that is none refuses everything; null lifts the sandbox.
    ZK_Init();
    ZK_OpenLibrary("file");
    EXPECT_FALSE(ZK_SetSandboxDirectory((top + "/missing").c_str()));
    EXPECT_EQ(RunMessage("closed.z", natives + "open(\"ok.txt\");"),
              "open refused \"ok.txt\": outside the sandbox directory");
    EXPECT_TRUE(ZK_SetSandboxDirectory(nullptr));
    EXPECT_EQ(RunMessage("free.z", natives + "h = open(\"" + secret + "\"); exit(h);"), "ok");
    ZK_Terminate();
    ZK_CloseStandardLibraries();
    std::filesystem::remove_all(top);
}

// A host opens only the libraries it names: the others' natives are not there.
TEST(Embedding, HostOpensTheLibrariesItChooses) {
    ZK_Init();
    EXPECT_TRUE(ZK_OpenLibrary("math"));
    EXPECT_FALSE(ZK_OpenLibrary("shell"));
    const std::string code =
        "sqrt = function (x) { __CALL \"math.sqrt\"; return x; };\n"
        "execute = function (x) { __CALL \"sys.execute\"; return r; };\n"
        "root = sqrt(16);\nexecute(\"true\");";
    EXPECT_EQ(RunMessage("libs.z", code), "sys.execute is not a registered native function");
    EXPECT_EQ(Global("root"), std::to_string(4.0));
    ZK_Terminate();
    ZK_CloseStandardLibraries();
}

}  // namespace

// The value functions a host has in place of the variable record.
TEST(Embedding, ValuesThroughHandles) {
    ZK_Init();
    ZK_Value* config = ZK_CreateGlobalVariable("config");
    EXPECT_EQ(ZK_TypeOf(config), ZK_UNDEFINED);
    EXPECT_EQ(ZK_TypeOf(nullptr), ZK_MISSING);
    EXPECT_EQ(ZK_CreateMember(nullptr, "x"), nullptr);
    ZK_SetNumber(ZK_CreateMember(config, "limit"), 30);
    ZK_SetString(ZK_CreateMember(config, "name"), "night\0ly", 8);  // a string ends at NUL
    ZK_SetString(ZK_CreateMember(config, "deep.path"), "x", 1);
    ZK_SetNumber(ZK_CreateMember(config, "gone"), 1);
    EXPECT_EQ(ZK_DeleteMember(config, "gone"), 1);
    EXPECT_EQ(ZK_DeleteMember(config, "gone"), 0);
    EXPECT_EQ(ZK_DeleteMember(config, "nothing.here"), 0);
    const char script[] =
        "ok = 0;\n"
        "if (config.limit = 30) { ok += 1; }\n"
        "if (config.name = \"night\") { ok += 1; }\n"
        "if (config.deep.path = \"x\") { ok += 1; }\n"
        "if (not isnumber(config.gone)) { ok += 1; }\n"
        "config.added = config.limit + 1;\n";
    ASSERT_EQ(ZK_RunString("values.z", script, sizeof script - 1), 0) << ZK_GetExitMessage();
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("ok")), 4);
    EXPECT_EQ(ZK_GetNumber(ZK_GetMember(config, "added")), 31);
    EXPECT_STREQ(ZK_GetString(ZK_GetMember(config, "deep.path")), "x");
    EXPECT_EQ(ZK_GetMember(config, "deep.none"), nullptr);
    ZK_Terminate();
    ZK_Init();
    config = ZK_CreateGlobalVariable("config");
    for (const char* name : {"a", "b", "c"}) ZK_SetString(ZK_CreateMember(config, name), name, 1);
    const char order[] =
        "out = \"\";\n"
        "for (k : config) { out += k; }\n";
    ASSERT_EQ(ZK_RunString("order.z", order, sizeof order - 1), 0);
    std::string walked;
    ZK_ForEachMember(
        config,
        [](void* user, const char* name, ZK_Value* member) {
            *static_cast<std::string*>(user) += std::string(name) + ZK_GetString(member);
            return true;
        },
        &walked);
    size_t length = 0;
    const char* loopOrder = ZK_GetString(ZK_GetGlobalVariable("out"), &length);
    ASSERT_NE(loopOrder, nullptr);
    EXPECT_EQ(length, 3U);
    // The host walks the members in the script's member-loop order (each
    // member's value is its name).
    std::string expected;
    for (const char* k = loopOrder; *k; ++k) expected += std::string(2, *k);
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(ZK_MemberCount(config), 3U);
    // Stopping early, and deleting members during the walk.
    int seen = 0;
    ZK_ForEachMember(
        config,
        [](void* user, const char*, ZK_Value*) {
            ++*static_cast<int*>(user);
            return false;
        },
        &seen);
    EXPECT_EQ(seen, 1);
    struct Walk {
        ZK_Value* owner;
        int seen;
    } walk{config, 0};
    ZK_ForEachMember(
        config,
        [](void* user, const char*, ZK_Value*) {
            auto* w = static_cast<Walk*>(user);
            ++w->seen;
            ZK_DeleteMember(w->owner, "a");
            ZK_DeleteMember(w->owner, "b");
            ZK_DeleteMember(w->owner, "c");
            return true;
        },
        &walk);
    EXPECT_EQ(walk.seen, 1);
    EXPECT_EQ(ZK_MemberCount(config), 0U);
    EXPECT_EQ(ZK_GetNumber(ZK_GetGlobalVariable("config")), 0);  // not a number: 0
    EXPECT_EQ(ZK_GetString(config, &length), nullptr);
    EXPECT_EQ(length, 0U);
    ZK_Terminate();
}

// The command line's search path, for a host: import directories before the
// script library, which lib/ beside the executable would give.
TEST(Embedding, SetupPathsFindsImportDirectories) {
    char name[] = "/tmp/zorvik-paths-XXXXXX";
    const std::string dir = mkdtemp(name);
    std::ofstream(dir + "/helper.z", std::ios::binary) << "function () { t.answer = 42; return t; }\n";
    ZK_Init();
    const char* dirs[] = {dir.c_str()};
    ZK_SetupPaths("", dirs, 1);
    const char script[] = "h := import(\"helper.z\");\nexit(h.answer);\n";
    EXPECT_EQ(ZK_RunString("paths.z", script, sizeof script - 1), 42) << ZK_GetExitMessage();
    ZK_Terminate();
    std::filesystem::remove_all(dir);
}
