#include "interpreter/statements.h"

#include <cmath>
#include <string>
#include <vector>

#include "interpreter/assignments.h"
#include "interpreter/compiled_expressions.h"
#include "interpreter/compiled_statements.h"
#include "interpreter/cursor.h"
#include "interpreter/debug.h"
#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/import.h"
#include "interpreter/runner.h"
#include "values/values.h"

namespace zorvik {

thread_local constinit int32_t sBlock = 0;
thread_local constinit int32_t sLoopScope = 0;

namespace {

// Keeps sLoopScope counting the loops being executed, also when an error
// unwinds through them.
struct LoopScope {
    LoopScope() { ++sLoopScope; }
    ~LoopScope() { --sLoopScope; }
};

bool Condition() {
    Expect('(');
    BoolExpression();
    Expect(')');
    return Flag() != 0;
}

// Runs a block whose '{' is the lookahead; leaves the lookahead on its '}'.
int32_t RunBlock() {
    int32_t code;
    if (NextIsOp('{') && RunCompiledBlock(sToken - 1, code)) return code;
    Expect('{');
    return ExecuteBlock();
}

// What a loop does after one run of its body, from the body's completion
// code: kRepeat after a normal end (the cursor then past the body's '}'),
// kNormal after a break (the rest of the body skipped), kReturn for a
// return, which travels on as it is.
constexpr int32_t kRepeat = -1;
int32_t AfterLoopBody(int32_t code) {
    if (code == kBreak) {
        SkipBlock();
        return kNormal;
    }
    if (code == kReturn) return kReturn;
    Expect('}');
    return kRepeat;
}

// Reads `(condition)` from the '(' at token `open` on: whether the
// condition holds, with the lookahead on the token after the ')'.
bool Head(int32_t open) {
    bool holds;
    if (RunCompiledHead(open, holds)) return holds;
    SeekToken(open);
    GetNext();
    return Condition();
}

int32_t If() {
    bool taken = Head(sToken);
    if (taken) {
        if (int32_t code = RunBlock()) return code;
        Expect('}');
    } else {
        Expect('{');
        SkipBlock();
    }
    while (NextIsReserved(RW_ELSE)) {
        GetNext();
        if (NextIsReserved(RW_IF)) {
            GetNext();
            if (taken) {
                Search('{');
                Expect('{');
                SkipBlock();
            } else if (Condition()) {
                taken = true;
                if (int32_t code = RunBlock()) return code;
                Expect('}');
            } else {
                Expect('{');
                SkipBlock();
            }
        } else if (sNextType == TOKEN_RESERVED) {
            Error("Missing {");
        } else {
            Expect('{');
            if (taken) {
                SkipBlock();
                return kNormal;
            }
            if (int32_t code = ExecuteBlock()) return code;
            Expect('}');
            return kNormal;
        }
    }
    return kNormal;
}

int32_t While() {
    int32_t start = sToken;
    LoopScope loop;
    // Compiled passes as long as they can be; a pass finished by the walker
    // leaves the next to them again.
    for (int32_t code = kNormal;;) {
        LoopExit exit = RunCompiledWhile(start, code);
        if (exit == LoopExit::kDone) return kNormal;
        if (exit == LoopExit::kNotRun) break;
        if (int32_t after = AfterLoopBody(code); after != kRepeat) return after;
    }
    while (true) {
        if (!Head(start)) {
            Expect('{');
            SkipBlock();
            return kNormal;
        }
        if (int32_t after = AfterLoopBody(RunBlock()); after != kRepeat) return after;
    }
}

// `while (condition);` after a do loop's block: whether the condition holds.
bool DoTail() {
    if (!NextIsReserved(RW_WHILE)) Error("Expected while");
    GetNext();
    bool again = Condition();
    EndStatement();
    return again;
}

int32_t Do() {
    LoopScope loop;
    int32_t start = sToken;
    int32_t code;
    LoopExit exit = RunCompiledDo(start, code);
    if (exit == LoopExit::kDone) return kNormal;
    if (exit == LoopExit::kBody) return code;  // a return
    while (true) {
        SeekToken(start);
        GetNext();
        int32_t after = AfterLoopBody(RunBlock());
        if (after == kNormal) {  // a break: the statement ends after "while (...);"
            Search(';');
            EndStatement();
        }
        if (after != kRepeat) return after;
        if (!DoTail()) return kNormal;
    }
}

double NumericExpression() {
    Expression();
    if (sRegister.type != VAR_NUMBER) Error("Expected numeric expression");
    return sRegister.value.number;
}

// The loop variable of a counting loop, again after code that may have
// freed or retyped it.
Var* LoopVariable(Var* var, uint64_t epoch, const NameKey& key) {
    if (epoch != sVarEpoch) var = key.Get();
    if (!var || var->type != VAR_NUMBER) Error("Expected numeric expression");
    return var;
}

int32_t CountingFor(const NameKey& key) {
    GetNext();
    double start = NumericExpression();
    Var* var = key.Create();
    Var_SetNumber(var, start);
    uint64_t epoch = sVarEpoch;
    Expect(',');
    double end = NumericExpression();
    double step = 1;
    if (NextIsOp(',')) {
        GetNext();
        step = NumericExpression();
    }
    var = LoopVariable(var, epoch, key);
    double value = var->value.number;
    // A NaN anywhere leaves no direction: the body runs once, as with step 0.
    step = LoopStep(step);
    step = value < end ? std::fabs(step) : value > end ? -std::fabs(step) : 0;
    int32_t brace = sToken;
    Expect(')');
    if (!NextIsOp('{')) Error("Missing {");
    CountingLoop pass{var, epoch, step, end};
    // The part of a pass after its block; kRepeat to go on.
    auto afterBlock = [&pass, &key](int32_t code) {
        if (int32_t after = AfterLoopBody(code); after != kRepeat) return after;
        pass.var = LoopVariable(pass.var, pass.epoch, key);
        pass.var->value.number += pass.step;
        return pass.Finished() ? kNormal : kRepeat;
    };
    int32_t code = kNormal;
    while (true) {  // compiled passes, as in While()
        LoopExit exit = RunCompiledFor(brace, pass, code);
        if (exit == LoopExit::kDone) return kNormal;
        if (exit == LoopExit::kNotRun) break;
        if (int32_t after = afterBlock(code); after != kRepeat) return after;
    }
    // The block is not compiled (nor would it be on a later pass): the walker.
    while (true) {
        pass.epoch = sVarEpoch;
        EnterBlockAt(brace);
        if (int32_t after = afterBlock(ExecuteBlock()); after != kRepeat) return after;
    }
}

int32_t MemberFor(const NameKey& key) {
    GetNext();
    if (sNextType != TOKEN_NAME) Error("Expected variable");
    std::string prefix = NextKey().Path() + ".";
    std::vector<std::string> members;
    KeyNode* list = MM_GetKeys(NextKey().Path().c_str());
    for (KeyNode* k = list; k; k = k->next) members.emplace_back(k->key);
    MM_FreeKeys(list);
    GetNext();
    int32_t body = sToken;
    Expect(')');
    for (const std::string& member : members) {
        std::string path = prefix + member;
        if (!MM_GetVar(path)) continue;  // deleted by an earlier pass of the body
        Var_SetAlias(key.Create(), path.c_str());
        int32_t code = RunBlock();
        Var_Free(key.Bind());  // the loop variable itself, whatever the body made of it
        if (int32_t after = AfterLoopBody(code); after != kRepeat) return after;
        SeekToken(body);
        GetNext();
    }
    Expect('{');
    SkipBlock();
    return kNormal;
}

int32_t For() {
    LoopScope loop;
    GetNext();
    Expect('(');
    if (sNextType != TOKEN_NAME) Error("Expected variable");
    NameKey key = NextKey();
    key.Create();
    GetNext();
    if (NextIsOp('=')) return CountingFor(key);
    if (NextIsOp(':')) return MemberFor(key);
    Error("Syntax error");
}

void Return() {
    if (sScope <= 0) Error("Unexpected return");
    GetNext();
    if (NextIsOp(';')) {
        Var_Free(MM_CreateResult());
    } else if (sNextType == TOKEN_NAME && TokenIsOp(NextNameEnd(), ';')) {
        ReturnVariable(NextKey().Get());
        GetNext();
    } else {
        Expression();
        StoreRegister(MM_CreateResult());
    }
    EndStatement();
}

[[noreturn]] void Exit() {
    GetNext();
    Expect('(');
    Expression();
    std::string message;
    bool haveMessage = false;
    if (sRegister.type == VAR_STRING) {
        sExitValue = 0;
        message = sRegister.value.string;
        haveMessage = true;
        Var_Free(&sRegister);
    } else if (sRegister.type == VAR_NUMBER) {
        double t = std::trunc(sRegister.value.number);
        if (!(t >= INT32_MIN && t <= INT32_MAX)) Error("Exit value out of range");
        sExitValue = static_cast<int32_t>(t);
        if (NextIsOp(',')) {
            GetNext();
            Expression();
            if (sRegister.type != VAR_STRING) Error("Expected string expression");
            message = sRegister.value.string;
            haveMessage = true;
            Var_Free(&sRegister);
        }
    } else {
        Var_Free(&sRegister);
        Error("Expected numeric expression");
    }
    if (!NextIsOp(')')) Error("Missing )");
    GetNext();
    if (!NextIsOp(';')) Error("Missing ;");
    ExitRun(haveMessage ? message.c_str() : nullptr);
}

// A statement that begins with a name: the token after the name decides.
void NameStatement() {
    NameKey key = NextKey();
    GetNext();
    if (sNextType == TOKEN_RESERVED && sNextReserved == RW_REF) {
        RefBinding(key);
    } else if (sNextType != TOKEN_OPERATOR) {
        Error("Syntax error");
    } else {
        switch (sNextChar) {
            case '=': Assignment(key); break;
            case OP_DEEP_ASSIGN: DeepAssignment(key); break;
            case OP_ADD_ASSIGN:
            case OP_SUB_ASSIGN:
            case OP_MUL_ASSIGN:
            case OP_DIV_ASSIGN: CompoundAssignment(key, sNextChar); break;
            case OP_INCREMENT:
            case OP_DECREMENT: PostfixStatement(key, sNextChar); break;
            case '(':
                CallFunc(key.Create());
                MM_DeleteResult();
                break;
            default: Error("Syntax error");
        }
    }
    EndStatement();
}

// `delete name;` and `unref name;`
void NameCommand(bool remove) {
    GetNext();
    if (sNextType != TOKEN_NAME) Error("Expected variable");
    if (remove)
        MM_DeleteVar(NextKey().Path());
    else
        MM_UnaliasVar(NextKey().Path().c_str());
    GetNext();
    EndStatement();
}

// Runs one statement that begins with a reserved word; a non-zero result
// ends the block.
int32_t ReservedStatement() {
    switch (sNextReserved) {
        case RW_IF: return If();
        case RW_WHILE: return While();
        case RW_DO: return Do();
        case RW_FOR: return For();
        case RW_BREAK:
            if (sLoopScope <= 0) Error("Unexpected break");
            GetNext();
            EndStatement();
            return kBreak;
        case RW_RETURN: Return(); return kReturn;
        case RW_DELETE: NameCommand(true); return kNormal;
        case RW_UNREF: NameCommand(false); return kNormal;
        case RW_EXTERN: Extern(); return kNormal;
        case RW_EXIT: Exit();
        case RW_CALL: NativeCall(); return kNormal;
        case RW_DEBUG: Debug(); return kNormal;
        default: Error("Syntax error");
    }
}

// Where a block stops on an interrupt request: before any statement and at
// the end of the script, but at the '}' only of a block that held no
// statement, whose passes would otherwise never stop.
void StopIfInterrupted(bool first) {
    if (!first && sNextType == TOKEN_OPERATOR && sNextChar == '}' && sBlock > 1) return;
    InterruptError();
}

}  // namespace

bool DoCondition() {
    Expect('}');
    return DoTail();
}

void ReturnVariable(Var* source) {
    // A value without members needs no deep copy.
    if (!source || !source->HasMembers()) {
        Var_Set(MM_NewResult(), source);
        return;
    }
    Var* result = MM_NewResult();
    if (!MM_InScope(source, sScope) || !MM_ReturnMoved(result, source)) MM_CopyVar(result, source);
}

int32_t ExecuteBlock() {
    DepthGuard guard;
    ++sBlock;
    for (bool first = true;; first = false) {
        if (InterruptPending()) [[unlikely]]
            StopIfInterrupted(first);
        switch (sNextType) {
            case TOKEN_EOF:
                if (sBlock > 1) Error("Unexpected end of file");
                --sBlock;
                return kNormal;
            case TOKEN_NAME:
                if (!RunCompiledStatement()) NameStatement();
                break;
            case TOKEN_RESERVED: {
                bool control = RunsOwnBlock(sNextReserved);
                int32_t code = ReservedStatement();
                if (code != kNormal) {
                    --sBlock;
                    if (code == kBreak && control) SkipBlock();
                    return code;
                }
                break;
            }
            case TOKEN_OPERATOR:
                if (sNextChar == '}' && sBlock > 1) {
                    --sBlock;
                    return kNormal;
                }
                if (sNextChar == ';')
                    GetNext();
                else if (sNextChar == OP_INCREMENT || sNextChar == OP_DECREMENT) {
                    if (!RunCompiledStatement()) {
                        PrefixStatement();
                        EndStatement();
                    }
                } else
                    Error("Syntax error");
                break;
            default: Error("Syntax error");
        }
    }
}

void ResetStatements() {
    sBlock = 0;
    sLoopScope = 0;
}

}  // namespace zorvik
