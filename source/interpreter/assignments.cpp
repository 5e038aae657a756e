#include "interpreter/assignments.h"

#include <cstdlib>
#include <cstring>

#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/import.h"
#include "interpreter/runner.h"
#include "values/values.h"

namespace zorvik {

namespace {

// The target again after an evaluation, looked up by key only when some
// variable was freed since `epoch`.
Var* Reacquire(Var* target, uint64_t epoch, const NameKey& key) { return epoch == sVarEpoch ? target : key.Create(); }

void CheckUpdateType(int32_t op, int32_t type) {
    if (type == VAR_NUMBER) return;
    ErrorF("%s is undefined for %s", OperatorText(op), TypeWord(type));
}

void Step(Var* var, int32_t op) { var->value.number = Stepped(var->value.number, op); }

void CheckCompoundTarget(int32_t op, int32_t type) {
    if (LeftMayCombine(CompoundOperator(op), type)) return;
    ErrorF("%s is undefined for %s", OperatorText(op), TypeWord(type));
}

// A deep copy held outside the namespace until it is moved in; released
// (members and aliases unlinked) if an error unwinds before that, also one
// that cuts the copy itself short.
struct DetachedCopy {
    explicit DetachedCopy(const Var* source) {
        try {
            MM_CopyVar(&var, source);
        } catch (...) {
            Release();
            throw;
        }
    }
    // The same for the result "@", which is deleted next: its members may move.
    struct OfResult {};
    explicit DetachedCopy(OfResult) {
        try {
            if (!MM_TakeResultTree(&var)) MM_CopyVar(&var, MM_GetResult());
        } catch (...) {
            Release();
            throw;
        }
    }
    ~DetachedCopy() { Release(); }
    DetachedCopy(const DetachedCopy&) = delete;
    DetachedCopy& operator=(const DetachedCopy&) = delete;

    void Release() {
        Var_Free(&var);
        MM_DeleteMembers(&var);
    }

    Var var;
};

// Gives `dest`, which owns no members, the value and members of the copy.
void MoveInto(Var* dest, DetachedCopy& copy) {
    Var_Set(dest, &copy.var);
    Var_Free(&copy.var);
    dest->MoveMembers(copy.var.TakeMembers());
    dest->ForEachMemberUnordered([dest](Var* member) { member->SetParent(dest); });
}

// Deletes the members of `var`, unlinking aliases into and out of them;
// `var` itself, its value and its own aliases stay.
void DeleteMembers(Var* var) { MM_DeleteMembers(var); }

// A fresh, member-less target for a deep copy. Deleting an alias deletes
// its target; the alias, now undefined, may still own members of its own,
// so it goes too.
Var* FreshTarget(const NameKey& key) {
    MM_DeleteVar(key.Path());
    Var* target = key.Create();
    if (target->HasMembers()) {
        MM_DeleteVar(key.Path());
        target = key.Create();
    }
    return target;
}

// The target of `:=` is emptied before an import on the right runs, which
// therefore sees it undefined and without members. A call runs first and
// reads the target as it stands: its result replaces the target only after.
void EmptyTarget(const NameKey& key) {
    Var* var = key.Bind();
    if (var->type != VAR_ALIAS) {
        FreshTarget(key);
        return;
    }
    Var* target = var->value.alias;
    DeleteMembers(target);
    Var_Free(target);
}

}  // namespace

void StoreRegisterAliased(Var* target) {
    Var_Set(target, &sRegister);
    Var_Free(&sRegister);
}

void Assignment(const NameKey& key) {
    Var* target = key.Create();
    uint64_t epoch = sVarEpoch;
    GetNext();
    Expression();
    StoreRegister(Reacquire(target, epoch, key));
}

namespace {

void ReplaceInPlace(Var* target, DetachedCopy& copy) {
    DeleteMembers(target);
    MoveInto(target, copy);
}

// Replaces the variable at `key` with the detached copy, as DeepStore says.
void StoreCopy(const NameKey& key, DetachedCopy& copy) {
    Var* var = key.Bind();
    if (var->type == VAR_ALIAS) {
        // Through an alias the target keeps its place, its name and its
        // other aliases; only its value and members are replaced.
        ReplaceInPlace(var->value.alias, copy);
        return;
    }
    MoveInto(FreshTarget(key), copy);
}

}  // namespace

void DeepStore(const NameKey& key, const Var* source) {
    // Copy first: the source may lie inside the variable being replaced.
    DetachedCopy copy(source);
    StoreCopy(key, copy);
}

void DeepStoreResult(const NameKey& key) {
    DetachedCopy copy(DetachedCopy::OfResult{});
    StoreCopy(key, copy);
    MM_DeleteResult();
}

void DeepStoreInto(Var* target, const Var* source) {
    DetachedCopy copy(source);
    ReplaceInPlace(target, copy);
}

void DeepStoreResultInto(Var* target) {
    DetachedCopy copy(DetachedCopy::OfResult{});
    ReplaceInPlace(target, copy);
    MM_DeleteResult();
}

void DeepAssignment(const NameKey& key) {
    GetNext();
    if (NextIsReserved(RW_IMPORT)) {
        EmptyTarget(key);
        Import(key);
        return;
    }
    if (sNextType != TOKEN_NAME) {
        EmptyTarget(key);
        Error("Expected variable");
    }
    NameKey source = NextKey();
    if (TokenIsOp(NextNameEnd(), '(')) {
        Var* func = source.Get();
        GetNext();
        CallFunc(func);
        DeepStoreResult(key);
        return;
    }
    GetNext();
    DeepStore(key, source.Get());
}

void RefBinding(const NameKey& key) {
    Var* left = key.Create();
    uint64_t epoch = sVarEpoch;
    GetNext();
    if (sNextType != TOKEN_NAME) Error("Expected variable");
    NameKey right = NextKey();
    left = Reacquire(left, epoch, key);
    Var_SetAlias(left, right.Path().c_str());
    if (left->type != VAR_ALIAS) Error("Can't create alias for undefined");
    GetNext();
}

void CompoundAssignment(const NameKey& key, int32_t op) {
    Var* target = key.Create();
    CheckCompoundTarget(op, target->type);
    uint64_t epoch = sVarEpoch;
    GetNext();
    Expression();
    CompoundStore(Reacquire(target, epoch, key), op);
}

void CompoundStore(Var* target, int32_t op) {
    CheckCompoundTarget(op, target->type);
    if (target->type == VAR_STRING) {
        if (sRegister.type != VAR_STRING) ErrorF("+= is undefined between strings and %s", TypeWord(sRegister.type));
        Var_AppendString(target, sRegister.value.string, Var_StringLength(&sRegister));
        Var_Free(&sRegister);
        return;
    }
    if (sRegister.type != VAR_NUMBER)
        ErrorF("%s is undefined between numbers and %s", OperatorText(op), TypeWord(sRegister.type));
    target->value.number = Arithmetic(CompoundOperator(op), target->value.number, sRegister.value.number);
}

void PostfixStatement(const NameKey& key, int32_t op) {
    Var* var = key.Create();
    CheckUpdateType(op, var->type);
    Step(var, op);
    GetNext();
}

void PrefixStatement() {
    int32_t op = sNextChar;
    GetNext();
    if (sNextType != TOKEN_NAME) Error("Expected variable");
    Var* var = NextKey().Create();
    CheckUpdateType(op, var->type);
    Step(var, op);
    GetNext();
}

void PrefixUpdate() {
    int32_t op = sNextChar;
    GetNext();
    if (sNextType != TOKEN_NAME) Error("Expected variable");
    Var* var = NextKey().Get();
    CheckUpdateType(op, var ? var->type : VAR_UNDEFINED);
    Step(var, op);
    Var_SetNumber(&sRegister, var->value.number);
    GetNext();
    CheckPostMod(var);
}

void CheckPostMod(Var* var) {
    if (!NextIsOp(OP_INCREMENT) && !NextIsOp(OP_DECREMENT)) return;
    Step(var, sNextChar);
    GetNext();
}

}  // namespace zorvik
