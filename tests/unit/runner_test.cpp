// A host may run several scripts in one process: every run starts clean.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "interpreter/zorvik.h"

namespace {

namespace fs = std::filesystem;

class RunnerTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/zorvik-runner-XXXXXX";
        dir_ = mkdtemp(name);
        ZK_Init();
        ZK_AddLibrarySearchPath((dir_ + "/").c_str());
    }
    void TearDown() override {
        ZK_Terminate();
        fs::remove_all(dir_);
    }
    std::string Write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string Message() {
        const char* m = ZK_GetExitMessage();
        return m ? m : "(none)";
    }
    std::string dir_;
};

TEST_F(RunnerTest, ResultsAndExitMessages) {
    EXPECT_EQ(ZK_Run(Write("ok.z", "x = 1;").c_str()), 0);
    EXPECT_EQ(Message(), "(none)");
    EXPECT_EQ(ZK_Run(Write("exit.z", "exit(-7, \"bye\");").c_str()), -7);
    EXPECT_EQ(Message(), "bye");
    EXPECT_EQ(ZK_Run(Write("bad.z", "x = ;").c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + dir_ + "/bad.z:1:5) Unexpected character");
}

TEST_F(RunnerTest, ARunAfterAnErrorStartsClean) {
    // Fails deep inside an expression, with strings waiting on the value stack
    // and a call in progress.
    std::string failing = Write("fail.z", "f = function (a) { return \"p\" + (\"q\" + (a * 2)); };\ny = \"s\" + f(\"t\");");
    EXPECT_EQ(ZK_Run(failing.c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (" + failing + ":1:45) * is undefined for strings");
    // Variables survive between runs; the scope numbering starts again at the top level.
    std::string next = Write("next.z", "g = function () { return 5; };\nexit(g() + 1);");
    EXPECT_EQ(ZK_Run(next.c_str()), 6);
    EXPECT_EQ(ZK_GetGlobalVariable("f")->type, VAR_FUNCTION);
}

TEST_F(RunnerTest, ImportedFilesAreTokenizedAgainInEachRun) {
    Write("lib.z", "function () { v = 41; return v; }");
    std::string main = Write("main.z", "x := import(\"lib.z\");\nexit(x + 1);");
    EXPECT_EQ(ZK_Run(main.c_str()), 42);
    std::string other = Write("other.z", "a = 1; b = 2; c = 3;\nx := import(\"lib.z\");\nexit(x);");
    EXPECT_EQ(ZK_Run(other.c_str()), 41);
    std::string broken = Write("broken.z", "function () { return 1 +; }");
    std::string user = Write("user.z", "x := import(\"broken.z\");");
    EXPECT_EQ(ZK_Run(user.c_str()), ERROR_EXIT);
    EXPECT_EQ(Message(), "ERROR (broken.z:1:25) Unexpected character");
}

}  // namespace
