// A host whose own global functions carry the short names an interpreter
// is likely to use inside (with the signatures they would have there). It
// links the static library and runs a script: a clash would fail the link
// ("multiple definition") or call the wrong function.
#include <cstdio>
#include <cstring>
#include <string>

#include "interpreter/zorvik.h"

namespace {
std::string sLog;
}

void Error(const std::string& message) { sLog += "host Error: " + message + "\n"; }
void Error() { sLog += "host Error\n"; }
void Add() { sLog += "host Add\n"; }
void Expect(int what) { sLog += "host Expect " + std::to_string(what) + "\n"; }
void Debug() { sLog += "host Debug\n"; }
int Import(const char* name) { return name ? static_cast<int>(std::strlen(name)) : 0; }
int Run() { return 7; }

int main(int argc, char** argv) {
    ZK_Init();
    if (argc > 1) ZK_AddLibrarySearchPath(argv[1]);  // the script library
    ZK_OpenStandardLibraries();
    // The interpreter's own Add, Debug, Error and Import run here.
    const char script[] =
        "s := import(\"sys.z\");\n"
        "x = 1 + 2; debug(0, x);\n"
        "s.wln(\"sum\"); s.wln(x);\n"
        "y = undefinedThing + 1;\n";
    const int32_t status = ZK_RunString("names.z", script, sizeof script - 1);
    const char* exitMessage = ZK_GetExitMessage();
    const std::string message = exitMessage ? exitMessage : "(none)";
    ZK_CloseStandardLibraries();
    ZK_Terminate();
    Error("after");
    Add();
    Expect(Run());
    Debug();
    std::printf("status %s\n%s\n%s", status == ERROR_EXIT ? "error" : "other", message.c_str(), sLog.c_str());
    return Import("abc") == 3 ? 0 : 1;
}
