// What an embedding host relies on beyond a single run: the standard native
// libraries, opened once, serve every run, and an open file outlives the run
// that opened it until the libraries are closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
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

}  // namespace
