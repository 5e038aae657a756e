#include "interpreter/functions.h"

#include <string>
#include <vector>

#include "interpreter/assignments.h"
#include "interpreter/call_stack.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/runner.h"
#include "interpreter/statements.h"

int64_t sScope = 0;
int64_t buildScope = 0;

namespace {

struct UserFunction {
    int32_t body;                     // index of the first token inside '{'
    std::string kinds;                // 'v' by value, 'r' by reference, one per parameter
    std::vector<std::string> params;  // names as written
    std::vector<uint32_t> hashes;     // HT_RawHash of each name, for binding it without hashing
    KeptScopes kept;                  // scopes of finished calls, for the next ones
    size_t keptParams = 0;            // how many parameters they may keep (KeptParams)
};

const KeyPart kSelf = MM_Part("self");
const KeyPart kThis = MM_Part("this");

std::vector<UserFunction> sFunctions;
// Number of the current run's function table; never 0, so that a zeroed
// value never passes for a live function.
uint32_t sRun = 1;

// The table index that a function value calls, or -1 when the variable holds
// no function of this run.
int32_t CallableIndex(const Var* function) {
    if (!function || function->type != VAR_FUNCTION || function->value.function.run != sRun) return -1;
    return function->value.function.index;
}

bool IsScopeName(const char* key) {
    if (key[0] == '@') return key[1] == '\0';
    for (const char* p = key; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return key[0] != '\0';
}

// Makes `alias` (a local of the new scope) an alias of `target`.
void BindAlias(Var* alias, Var* target) {
    Var_Free(alias);
    if (target->type == VAR_ALIAS) target = target->value.alias;
    if (target == alias) return;
    Var__AddReference(target, alias);  // first: it allocates
    alias->type = VAR_ALIAS;
    alias->value.alias = target;
}

// The root variable of a new scope, kept while its locals are bound. It is
// looked up again after anything freed a variable (an argument may call).
class Locals {
  public:
    Locals(const ScopeKey& key, Var* scope) : key_(key), scope_(scope), epoch_(sVarEpoch) {}
    const ScopeKey& Key() const { return key_; }
    // The local `part`, made when missing (MM_BindParts).
    Var* Bind(const KeyPart& part) {
        if (epoch_ != sVarEpoch) {
            scope_ = MM_CreateParts(&key_.part, nullptr, 0);
            epoch_ = sVarEpoch;
        }
        return MM_BindMemberParts(scope_, &part, 1);
    }

  private:
    const ScopeKey& key_;
    Var* scope_;
    uint64_t epoch_;
};

// The parameters that the kept scopes of `f` may keep (see MM_DeleteScope):
// the leading plain ones, up to the room left by `self` and `this`.
size_t KeepableParams(const UserFunction& f) {
    size_t n = 0;
    while (n < f.params.size() && n < kKeptLocals - 2) {
        const std::string& name = f.params[n];
        if (name.find('.') != std::string::npos || name == "self" || name == "this") break;
        ++n;
    }
    return n;
}

// The keys of the parameters that the kept scopes of function `index` may
// keep, into `parts`; returns their number.
size_t KeptParams(int32_t index, KeyPart parts[kKeptLocals - 2]) {
    const UserFunction& f = sFunctions[static_cast<size_t>(index)];
    for (size_t i = 0; i < f.keptParams; ++i)
        parts[i] = {f.params[i].data(), static_cast<uint32_t>(f.params[i].size()), f.hashes[i]};
    return f.keptParams;
}

// The local variable for parameter i of `f` in a new scope.
Var* BindLocal(Locals& locals, const UserFunction& f, size_t i) {
    const std::string& name = f.params[i];
    if (name.find('.') != std::string::npos) return MM_BindVar(std::string(locals.Key().part.text) + "." + name);
    return locals.Bind({name.data(), static_cast<uint32_t>(name.size()), f.hashes[i]});
}

void ReadParameters(UserFunction& f) {
    GetNext(true);
    while (!NextIsOp(')')) {
        char kind = 'v';
        if (NextIsReserved(RW_REF)) {
            kind = 'r';
            GetNext(true);
        }
        if (sNextType != TOKEN_NAME) Error("Expected parameter name");
        std::string name = NextKey().Path();
        for (const std::string& p : f.params)
            if (p == name) ErrorF("Duplicate parameter name \"%s\"", ScriptText(name).c_str());
        f.kinds += kind;
        f.hashes.push_back(HT_RawHash(name.data(), name.size()));
        f.params.push_back(std::move(name));
        GetNext(true);
        if (NextIsOp(','))
            GetNext(true);
        else if (!NextIsOp(')'))
            Error("Expected , or )");
    }
}

// Evaluates one argument into the register: a value, or for a reference
// parameter an alias of the named variable (created undefined if missing).
void Argument(char kind) {
    if (kind == 'v') {
        Expression();
        return;
    }
    if (sNextType != TOKEN_NAME) Error("Expected variable as argument");
    NameKey key = NextKey();
    Var* target = key.Get();
    if (!target) target = key.Create();
    BindAlias(&sRegister, target);
    GetNext();
}

}  // namespace

int32_t BuildFunction() {
    int32_t literal = sToken;
    sFunctions.emplace_back();
    int32_t index = static_cast<int32_t>(sFunctions.size() - 1);
    sTokens[static_cast<size_t>(literal)].function = static_cast<uint32_t>(index) + 1;
    GetNext();
    if (!NextIsOp('(')) Error("Expected (");
    UserFunction f;
    ReadParameters(f);
    f.keptParams = KeepableParams(f);
    GetNext();
    f.body = sToken;
    sFunctions[static_cast<size_t>(index)] = std::move(f);
    return index;
}

int32_t FunctionBody(int32_t index) { return sFunctions[static_cast<size_t>(index)].body; }

FunctionRef FunctionValue(int32_t index) { return FunctionRef{index, sRun}; }

void CallFunc(Var* function) {
    DepthGuard guard;
    int32_t site = sToken - 1;  // the lookahead is the call's '('
    ++buildScope;
    int32_t savedLoops = sLoopScope;
    GetNext();
    int32_t index = CallableIndex(function);
    if (index < 0) Error("Variable is not a function");
    int64_t scope = sScope + buildScope;
    sLoopScope = 0;
    ScopeKey locals(MM_ScopePart(scope));

    // A new scope (the usual case) comes with `self` and `this`; one left
    // over is bound into as it is.
    CallScope made = MM_NewScope(locals, sFunctions[static_cast<size_t>(index)].kept);
    Var* self = made.scope ? made.self : MM_BindParts(&locals.part, &kSelf, 1);
    Locals bound(locals, self->Parent());
    if (function->Parent())
        BindAlias(self, function->Parent());
    else
        Var_Free(self);
    BindAlias(made.scope ? made.thisVar : bound.Bind(kThis), function);

    size_t given = 0;
    for (; !NextIsOp(')'); ++given) {
        const UserFunction& f = sFunctions[static_cast<size_t>(index)];
        if (given >= f.params.size()) Error("Too many parameters in function call");
        Argument(f.kinds[given]);
        StoreRegister(BindLocal(bound, sFunctions[static_cast<size_t>(index)], given));
        if (NextIsOp(','))
            GetNext();
        else if (!NextIsOp(')'))
            Error("Missing ,");
    }
    // A kept scope may bring parameters that this call leaves unbound.
    KeyPart params[kKeptLocals - 2];
    size_t keptParams = KeptParams(index, params);
    if (given < keptParams) MM_DropLocals(locals.part, params + given, keptParams - given);

    int32_t back = sToken;
    // The call is in progress from here: errors in its arguments were the caller's.
    CallFrame frame(CallFrame::kCall, site);
    SeekToken(FunctionBody(index));
    sScope += buildScope;
    GetNext();
    ExecuteBlock();
    keptParams = KeptParams(index, params);  // the function table may have moved
    MM_DeleteScope(locals, params, keptParams, sFunctions[static_cast<size_t>(index)].kept);
    SeekToken(back);
    sScope -= buildScope;
    GetNext();
    --buildScope;
    sLoopScope = savedLoops;
}

void ClearFunctions() {
    for (UserFunction& f : sFunctions) MM_FreeKeptScopes(f.kept);
    std::vector<UserFunction>().swap(sFunctions);
    if (++sRun == 0) sRun = 1;
    sScope = 0;
    buildScope = 0;
}

void DeleteScopes() {
    static std::vector<std::string> names;
    names.clear();
    HT_ApplyKeyFunction(MM_RootTable(), [](const char* key, void*) {
        if (IsScopeName(key)) names.emplace_back(key);
    });
    for (const std::string& name : names) MM_DeleteVar(name);
}
