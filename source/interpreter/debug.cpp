#include "interpreter/debug.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "interpreter/cursor.h"
#include "interpreter/runner.h"
#include "memory_manager/memory_manager.h"

namespace {

// One value as debug shows it; aliases are not followed.
void WriteValue(const Var* var) {
    if (!var) {
        std::fputs("(UNDEFINED)\n", stdout);
        return;
    }
    switch (var->type) {
        case VAR_NUMBER: std::printf("%.0f\n", var->value.number); break;
        case VAR_STRING: std::printf("%s\n", var->value.string); break;
        case VAR_FUNCTION: std::fputs("(FUNCTION)\n", stdout); break;
        default: std::fputs("(UNDEFINED)\n", stdout); break;
    }
}

}  // namespace

void Debug() {
    GetNext();
    Expect('(');
    if (sNextType != TOKEN_NUMBER) Error("Expected numeric constant");
    double command = std::floor(sNextNumber);
    GetNext();
    if (command != 0) Error("Unknown debug command");
    Expect(',');
    if (sNextType != TOKEN_NAME) Error("Expected variable");
    NameKey key = NextKey();
    GetNext();
    Expect(')');
    if (!NextIsOp(';')) Error("Missing ;");
    // Look the variable up before reading on: the next statement's name is
    // only composed when that statement runs.
    const Var* var = key.Get();
    if (!var) {
        std::fputs("(UNDEFINED)\n", stdout);
    } else {
        WriteValue(var);
        if (!var->HasMembers()) {
            std::fputs("[]\n", stdout);
        } else {
            std::fputs("[\n", stdout);
            HT_ForEachEntry(var->Children(), [](const HashEntry* e) {
                std::printf("  %s: ", e->Key());
                WriteValue(static_cast<const Var*>(e->data));
            });
            std::fputs("]\n", stdout);
        }
    }
    GetNext();
}
