// The sys natives about the process the script runs in: the arguments given
// after the script, the environment, and the end of standard input.
//
// The arguments are the only state: the host sets them with
// ZK_SetScriptArguments before the run.
#include <cstdlib>
#include <string>
#include <vector>

#include "interpreter/console.h"
#include "interpreter/natives.h"
#include "sys/sys.h"

namespace zorvik {

namespace {

thread_local std::vector<std::string> sArguments;

// The arguments as an array: r.0 ... r.(n-1), then r itself holds n.
void sys_args() {
    for (size_t i = 0; i < sArguments.size(); ++i)
        Var_SetString(ZK_CreateLocalVariable(("r." + std::to_string(i)).c_str()), sArguments[i].c_str());
    Var_SetNumber(ZK_CreateLocalVariable("r"), static_cast<double>(sArguments.size()));
}

// An environment variable's text; r stays undefined when it is not set.
void sys_getenv() {
    const Var* x = ZK_StringArg("x", "getenv expected string as parameter");
    Var* r = ZK_CreateLocalVariable("r");
    if (const char* value = std::getenv(x->value.string)) Var_SetString(r, value);
}

// 1 once a line read found standard input at its end or failed; after a
// last line without a line break this becomes 1 only with the read that
// returned nothing.
void sys_eof() { Var_SetNumber(ZK_CreateLocalVariable("r"), InputAtEnd() ? 1 : 0); }

constexpr ZK_NativeReg kNatives[] = {
    {"sys.args", sys_args},
    {"sys.getenv", sys_getenv},
    {"sys.eof", sys_eof},
};

}  // namespace

}  // namespace zorvik

using namespace zorvik;

void ZK_SetScriptArguments(int count, const char* const* values) {
    sArguments.assign(values, values + (count > 0 ? count : 0));
}

namespace zorvik {

void sys_initProcess() { ZK_RegisterNatives(kNatives); }

}  // namespace zorvik
