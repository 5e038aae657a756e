// Statements and expression forms that change a variable: = := ref += -= *=
// /= ++ --. A target held across an evaluation is looked up again by its
// key when any variable was freed meanwhile, and its type is checked again
// before the write, so an evaluation that deletes or retypes the target
// never leads to a write into freed memory or a string used as a number.
#pragma once

#include <cstdlib>
#include <string>

#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"

#include "memory_manager/memory_manager.h"

namespace zorvik {

void Assignment(const NameKey& key);
void DeepAssignment(const NameKey& key);
// Replaces the variable at `key` with a deep copy of `source` (or with an
// undefined variable for null). Through an alias in the last component the
// alias's target gets the copy's value and members in place.
void DeepStore(const NameKey& key, const Var* source);
// DeepStore of the result "@" of a call or an import, which is deleted
// after: its members move instead of being copied.
void DeepStoreResult(const NameKey& key);
// DeepStore into a variable already found (a host's handle), which keeps
// its place, its name and its aliases; only its value and members change.
void DeepStoreInto(Var* target, const Var* source);
// DeepStoreResult into a variable already found.
void DeepStoreResultInto(Var* target);
void RefBinding(const NameKey& key);
void CompoundAssignment(const NameKey& key, int32_t op);
// Its end: combines the value in the register into `target`, the variable
// found again after the value's evaluation, with the statement's errors.
void CompoundStore(Var* target, int32_t op);
// `name++;` / `name--;` with the cursor on the operator.
void PostfixStatement(const NameKey& key, int32_t op);
// `++name;` / `--name;` with the cursor on the operator.
void PrefixStatement();
// `++name` / `--name` inside an expression.
void PrefixUpdate();
// A postfix ++ / -- after a number variable that Factor just read.
void CheckPostMod(Var* var);
// Moves the register's value into a variable (its members stay). Inline:
// stores and calls make it all the time; an alias on either side takes the
// long way.
void StoreRegisterAliased(Var* target);
inline void StoreRegister(Var* target) {
    if (target->type == VAR_ALIAS || sRegister.type == VAR_ALIAS) {
        StoreRegisterAliased(target);
        return;
    }
    if (target->type == VAR_STRING) MM_ReleaseText(target->value.string);
    target->type = sRegister.type;
    target->length = sRegister.length;
    target->value = sRegister.value;
    sRegister.type = VAR_UNDEFINED;
}

}  // namespace zorvik
