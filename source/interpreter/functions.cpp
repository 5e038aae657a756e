#include "interpreter/functions.h"

#include <string>
#include <vector>

#include "common/per_thread.h"
#include "interpreter/assignments.h"
#include "interpreter/call_stack.h"
#include "interpreter/compiled_statements.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/hints.h"
#include "interpreter/runner.h"
#include "interpreter/statements.h"

namespace zorvik {

thread_local constinit int64_t sScope = 0;
thread_local constinit int64_t buildScope = 0;

namespace {

struct UserFunction {
    int32_t body;                     // index of the first token inside '{'
    std::string kinds;                // 'v' by value, 'r' by reference, one per parameter
    std::vector<std::string> params;  // names as written
    std::vector<uint32_t> hashes;     // HT_RawHash of each name, for binding it without hashing
    KeptScopes kept;                  // scopes of finished calls, for the next ones
    size_t keptParams = 0;            // how many parameters they may keep (KeptParams)
    size_t valueParams = 0;           // how many leading ones CallWithValues can bind (ValuesCallee)
    // The body's compiled block (CompiledBlockAt), null when it has none;
    // looked up on the first call that may run it.
    const CompiledBlock* compiled = nullptr;
    bool compiledKnown = false;
};

const KeyPart kSelf = MM_Part("self");
const KeyPart kThis = MM_Part("this");

// A ThreadVector, not a std::vector: every call reads it, and a thread_local
// with a destructor would be read through a TLS guard.
thread_local constinit ThreadVector<UserFunction> sFunctions;
// Number of the current run's function table; never 0, so that a zeroed
// value never passes for a live function.
thread_local constinit uint32_t sRun = 1;

// The table index that a function value calls, or -1 when the variable holds
// no function of this run.
int32_t CallableIndex(const Var* function) {
    if (!function || function->type != VAR_FUNCTION || function->value.function.run != sRun) return -1;
    return function->value.function.index;
}

// Makes `alias` (a local of the new scope) an alias of `target`.
void BindAlias(Var* alias, Var* target) {
    if (target->type == VAR_ALIAS) target = target->value.alias;
    if (alias->type == VAR_ALIAS && alias->value.alias == target) return;  // a kept scope's, bound as before
    Var_Free(alias);
    if (target == alias) return;
    Var__AddReference(target, alias);  // first: it allocates
    alias->type = VAR_ALIAS;
    alias->value.alias = target;
}

// The root variable of a new scope, kept while its locals are bound. It is
// looked up again after anything freed a variable (an argument may call).
class Locals {
  public:
    Locals(int64_t number, Var* scope) : number_(number), scope_(scope), epoch_(sVarEpoch) {}
    int64_t Number() const { return number_; }
    // The local `part`, made when missing (MM_BindParts).
    Var* Bind(const KeyPart& part) {
        if (epoch_ != sVarEpoch) {
            scope_ = MM_CreateParts(&MM_ScopePart(number_).part, nullptr, 0);
            epoch_ = sVarEpoch;
        }
        return MM_BindMemberParts(scope_, &part, 1);
    }

  private:
    int64_t number_;
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

// The leading parameters taken by value whose names are plain.
size_t ValueParams(const UserFunction& f) {
    size_t n = 0;
    while (n < f.params.size() && f.kinds[n] == 'v' && f.params[n].find('.') == std::string::npos) ++n;
    return n;
}

// The local variable for a parameter whose name has parts: made through
// its path. Out of line: calls rarely need it.
[[gnu::noinline]] Var* BindPath(const Locals& locals, const std::string& name) {
    return MM_BindVar(std::string(MM_ScopePart(locals.Number()).part.text) + "." + name);
}

// The local variable for parameter i of `f` in a new scope.
inline Var* BindLocal(Locals& locals, const UserFunction& f, size_t i) {
    const std::string& name = f.params[i];
    if (i >= f.valueParams && name.find('.') != std::string::npos) return BindPath(locals, name);
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
    SetTokenFact(literal, Fact::kFunction, static_cast<uint64_t>(index) + 1);
    GetNext();
    if (!NextIsOp('(')) Error("Expected (");
    UserFunction f;
    ReadParameters(f);
    f.keptParams = KeepableParams(f);
    f.valueParams = ValueParams(f);
    GetNext();
    f.body = sToken;
    sFunctions[static_cast<size_t>(index)] = std::move(f);
    return index;
}

int32_t FunctionBody(int32_t index) { return sFunctions[static_cast<size_t>(index)].body; }

FunctionRef FunctionValue(int32_t index) { return FunctionRef{index, sRun}; }

namespace {

// The scope of a call being made: numbered, with `self` and `this` bound and
// the parameters bound one by one.
class NewCall {
  public:
    // A new scope (the usual case) comes with `self` and `this`; one left
    // over is bound into as it is.
    NewCall(int32_t index, Var* function)
        : index_(index),
          number_(sScope + buildScope),
          made_(MM_NewScope(number_, sFunctions[static_cast<size_t>(index)].kept)),
          self_(made_.scope ? made_.self : MM_BindParts(&MM_ScopePart(number_).part, &kSelf, 1)),
          locals_(number_, self_->Parent()) {
        if (function->Parent())
            BindAlias(self_, function->Parent());
        else
            Var_Free(self_);
        BindAlias(made_.scope ? made_.thisVar : locals_.Bind(kThis), function);
    }

    const UserFunction& Function() const { return sFunctions[static_cast<size_t>(index_)]; }

    // Stores the register into parameter `i`.
    void BindParameter(size_t i) {
        Var* local = KeptParameter(i);
        StoreRegister(local ? local : BindLocal(locals_, Function(), i));
    }

    // Runs the body with `given` parameters bound (the call of token `site`,
    // whose arguments end with the ')' at `close`) and deletes the scope; the
    // cursor is left where the body ended.
    void Run(size_t given, int32_t site, int32_t close) {
        // A kept scope may bring parameters that this call leaves unbound.
        KeyPart params[kKeptLocals - 2];
        if (given < Function().keptParams) {
            size_t keptParams = KeptParams(index_, params);
            MM_DropLocals(MM_ScopePart(number_).part, params + given, keptParams - given);
        }
        // The call is in progress from here: errors in its arguments were the caller's.
        CallFrame frame(CallFrame::kCall, site);
        EnterScope(sScope + buildScope);
        RunBody(close);
        size_t keptParams = KeptParams(index_, params);  // the function table may have moved
        MM_DeleteScope(number_, made_, params, keptParams, sFunctions[static_cast<size_t>(index_)].kept);
        EnterScope(sScope - buildScope);
    }

  private:
    // The local of parameter `i` when the scope was kept with it and nothing
    // has changed its table since (nor freed anything): BindLocal would find
    // that one.
    Var* KeptParameter(size_t i) const {
        size_t local = 2 + i;  // after self and this
        if (local >= made_.keptCount || madeEpoch_ != sVarEpoch || made_.scope->Children()->version != made_.version)
            return nullptr;
        return static_cast<Var*>(made_.kept[local]->data);
    }

    // The body, entered as if the ')' at `close` was the token read last.
    void RunBody(int32_t close) {
        int32_t body = Function().body;
        int32_t code;
        // Only inside a block does its '}' end the body.
        if (sBlock > 0) {
            const CompiledBlock* compiled = CompiledBody(sFunctions[static_cast<size_t>(index_)]);
            if (compiled && RunCompiledBody(*compiled, body - 1, close, code)) return;
        }
        PlaceCursor(close, body);
        ExecuteBlock();
    }

    // The body's compiled block, looked up once per function value.
    static const CompiledBlock* CompiledBody(UserFunction& f) {
        if (!f.compiledKnown) {
            f.compiled = CompiledBlockAt(f.body - 1);
            f.compiledKnown = true;
        }
        return f.compiled;
    }

    int32_t index_;
    int64_t number_;  // order matters: each member is made from the ones before it
    CallScope made_;
    Var* self_;
    Locals locals_;
    uint64_t madeEpoch_ = sVarEpoch;  // while it holds, made_.scope is alive
};

// Holds a call's place in the scope numbering and the loop state of its
// caller, from before its arguments until the caller goes on.
class CallLevel {
  public:
    CallLevel() : savedLoops_(sLoopScope) { ++buildScope; }
    // The caller goes on (not run when an error ends the run).
    void Leave() {
        --buildScope;
        sLoopScope = savedLoops_;
    }
    CallLevel(const CallLevel&) = delete;
    CallLevel& operator=(const CallLevel&) = delete;

  private:
    int32_t savedLoops_;
};

}  // namespace

void CallFunc(Var* function) {
    DepthGuard guard;
    int32_t site = sToken - 1;  // the lookahead is the call's '('
    CallLevel level;
    GetNext();
    int32_t index = CallableIndex(function);
    if (index < 0) Error("Variable is not a function", CalleeHint(function, site));
    sLoopScope = 0;
    NewCall call(index, function);
    size_t given = 0;
    for (; !NextIsOp(')'); ++given) {
        if (given >= call.Function().params.size()) Error("Too many parameters in function call");
        Argument(call.Function().kinds[given]);
        call.BindParameter(given);
        if (NextIsOp(','))
            GetNext();
        else if (!NextIsOp(')'))
            Error("Missing ,");
    }
    int32_t back = sToken;
    call.Run(given, site, back - 1);
    SeekToken(back);
    GetNext();
    level.Leave();
}

int32_t ValuesCallee(const Var* function, size_t count) {
    int32_t index = CallableIndex(function);
    return index >= 0 && count <= sFunctions[static_cast<size_t>(index)].valueParams ? index : -1;
}

void CallWithValues(int32_t index, Var* function, int32_t site, int32_t close, Cell* args, size_t count) {
    DepthGuard guard;
    CallLevel level;
    sLoopScope = 0;
    NewCall call(index, function);
    for (size_t i = 0; i < count; ++i) {
        Var_Free(&sRegister);
        static_cast<Cell&>(sRegister) = args[i];
        args[i].type = VAR_UNDEFINED;  // the string, if any, now belongs to the register
        call.BindParameter(i);
    }
    call.Run(count, site, close);
    level.Leave();
}

namespace {

// The error of a host's call that cannot start (CallFromHost).
[[noreturn]] void CallNotStarted(bool within, const std::string& message) {
    if (within) Error(message);
    HostCallError(message);
}

}  // namespace

void CallFromHost(Var* function, const char* name, Var* const* args, size_t count, bool within) {
    int32_t index = CallableIndex(function);
    if (index < 0)
        CallNotStarted(within, name ? "\"" + ScriptText(name) + "\" is not a function" : "Value is not a function");
    if (count > sFunctions[static_cast<size_t>(index)].params.size())
        CallNotStarted(within, "Too many parameters in function call");
    for (size_t i = 0; i < count; ++i)
        if (!args[i] && sFunctions[static_cast<size_t>(index)].kinds[i] == 'r')
            CallNotStarted(within, "Expected variable as argument");
    DepthGuard guard;
    CallLevel level;
    sLoopScope = 0;
    // Bound as a block's statement would be: its '}' ends the body.
    ++sBlock;
    NewCall call(index, function);
    for (size_t i = 0; i < count; ++i) {
        if (call.Function().kinds[i] == 'r')
            BindAlias(&sRegister, args[i]);
        else
            Var_Set(&sRegister, args[i]);
        call.BindParameter(i);
    }
    int32_t body = call.Function().body;
    call.Run(count, kHostSite, body - 1);
    --sBlock;
    level.Leave();
}

void ClearFunctions() {
    for (UserFunction& f : sFunctions) MM_FreeKeptScopes(f.kept);
    sFunctions.Clear();
    if (++sRun == 0) sRun = 1;
    EnterScope(0);
    buildScope = 0;
}

void ResetCallLevels() {
    EnterScope(0);
    buildScope = 0;
}

void DeleteScopes() {
    for (const std::string& name : MM_ScopeNames()) MM_DeleteVar(name);
}

}  // namespace zorvik
