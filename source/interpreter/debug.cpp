#include "interpreter/debug.h"

#include <cmath>
#include <string>

#include "interpreter/console.h"
#include "interpreter/cursor.h"
#include "interpreter/runner.h"
#include "memory_manager/memory_manager.h"

namespace zorvik {

namespace {

// One value as debug shows it; aliases are not followed.
void WriteValue(const Var* var) {
    if (!var) {
        WriteOut("(UNDEFINED)\n");
        return;
    }
    switch (var->type) {
        case VAR_NUMBER: WriteOutF("%.0f\n", var->value.number); break;
        case VAR_STRING: WriteOutF("%s\n", var->value.string); break;
        case VAR_FUNCTION: WriteOut("(FUNCTION)\n"); break;
        default: WriteOut("(UNDEFINED)\n"); break;
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
        WriteOut("(UNDEFINED)\n");
    } else {
        WriteValue(var);
        if (!var->HasMembers()) {
            WriteOut("[]\n");
        } else {
            WriteOut("[\n");
            HT_ForEachEntry(var->Children(), [](const HashEntry* e) {
                WriteOutF("  %s: ", e->Key());
                WriteValue(static_cast<const Var*>(e->data));
            });
            WriteOut("]\n");
        }
    }
    GetNext();
}

}  // namespace zorvik
