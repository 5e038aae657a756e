// The command line: `zorvik <source file>`.
//
// The interpreter runs on a thread with a large stack, so that scripts can
// nest and recurse as deep as the evaluator's depth limit allows.
#include <pthread.h>

#include <cstdio>

#include "interpreter/zorvik.h"

namespace {

constexpr size_t kStackSize = size_t{1} << 30;

// 1 when output was lost; the run itself never sets a status.
int sStatus = 0;

void* RunScript(void* arg) {
    const char* path = static_cast<const char*>(arg);
    ZK_Init();
    SetupPaths(path);
    ZK_OpenStandardLibraries();
    ZK_Run(path);
    if (const char* message = ZK_GetExitMessage()) std::printf("%s\n", message);
    ZK_Terminate();
    ZK_CloseStandardLibraries();
    if (!ZK_FinishOutput()) sStatus = 1;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::puts("zorvik <source file>");
        return 1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_t thread;
    if (pthread_attr_setstacksize(&attr, kStackSize) != 0 || pthread_create(&thread, &attr, RunScript, argv[1]) != 0) {
        RunScript(argv[1]);  // fall back to the main thread's stack
    } else {
        pthread_join(thread, nullptr);
    }
    pthread_attr_destroy(&attr);
    return sStatus;
}
