// The one namespace of a run: a tree of Vars under the root table, addressed
// by '.'-separated paths.
#include <cstring>
#include <memory>
#include <string>

#include "common/assert.h"
#include "memory_manager/memory_manager.h"

namespace {

HashTable* sTable = nullptr;
KeyNode* sKeyList = nullptr;
// Component buffer of the path walk; grows with the longest component seen
// and so keeps its capacity between walks.
std::string sKey;

enum WalkFlags : unsigned {
    WALK_CREATE = 1,          // make missing components and member tables
    WALK_KEEP_LAST_ALIAS = 2  // do not resolve an alias in the last component
};

// Resolves `path` component by component. When `holder` is given, afterwards
// *holder is the table in which the returned Var is stored under the key in
// sKey (for a resolved alias: its target's own table).
Var* WalkPath(const char* path, unsigned flags, HashTable** holder = nullptr) {
    HashTable* table = sTable;
    Var* owner = nullptr;
    const char* p = path;
    for (;;) {
        const char* end = p;
        while (*end && *end != '.') ++end;
        bool last = *end == '\0';
        size_t length = static_cast<size_t>(end - p);

        Var* var = static_cast<Var*>(HT_GetN(table, p, length));
        if (!var) {
            if (!(flags & WALK_CREATE)) return nullptr;
            ZK_ASSERT(table != nullptr);
            std::unique_ptr<Var> fresh(Var_New());
            fresh->parent = owner;
            sKey.assign(p, length);
            HT_UnsafeAdd(table, sKey.c_str(), fresh.get());
            var = fresh.release();
        }
        if (holder) {
            *holder = table;
            sKey.assign(p, length);
        }

        if (var->type == VAR_ALIAS && !(last && (flags & WALK_KEEP_LAST_ALIAS))) {
            var = var->value.alias;
            if (last && holder) {
                *holder = var->parent ? var->parent->children : sTable;
                if (!HT_GetKey(*holder, var, sKey)) return nullptr;
            }
        }
        if (last) return var;

        if (!var->children) {
            if (!(flags & WALK_CREATE)) return nullptr;
            var->children = HT_Create(4);
        }
        table = var->children;
        owner = var;
        p = end + 1;
    }
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

HashTable* MM_RootTable() { return sTable; }

void MM_Init() {
    if (sTable) MM_Terminate();
    sTable = HT_Create(16);
}

void MM_Terminate() {
    HT_Free(sTable, DeleteVar);
    sTable = nullptr;
    ZK_ASSERT(HT_TableCount() == 0);
}

Var* MM_GetVar(const char* path) { return WalkPath(path, 0); }

Var* MM_CreateVar(const char* path) { return WalkPath(path, WALK_CREATE); }

Var* MM_BindVar(const char* path) { return WalkPath(path, WALK_CREATE | WALK_KEEP_LAST_ALIAS); }

int MM_DeleteVar(const char* path) {
    HashTable* holder = nullptr;
    if (!WalkPath(path, 0, &holder)) return 0;
    HT_Function(holder, sKey.c_str(), UnreferenceVar);
    HT_Delete(holder, sKey.c_str(), DeleteVar);
    return 1;
}

void MM_UnaliasVar(const char* path) {
    Var* var = WalkPath(path, WALK_KEEP_LAST_ALIAS);
    if (!var || var->type != VAR_ALIAS) return;
    Var__RemoveReference(var->value.alias, var);
    var->type = VAR_UNDEFINED;
    var->value.number = 0;
}

int MM_VarDefined(const char* path) {
    Var* var = MM_GetVar(path);
    return var && var->type != VAR_UNDEFINED;
}

int MM_VarSubCount(const char* path) {
    Var* var = MM_GetVar(path);
    return var && var->children ? var->children->entries : 0;
}

void CollectKeys(const char* key, void* /*data*/) { sKeyList = new KeyNode{key, sKeyList}; }

KeyNode* MM_GetKeys(const char* path) {
    Var* var = MM_GetVar(path);
    if (!var || !var->children) return nullptr;
    sKeyList = nullptr;
    HT_ApplyKeyFunction(var->children, CollectKeys);
    KeyNode* list = sKeyList;
    sKeyList = nullptr;
    return list;
}

void MM_FreeKeys(KeyNode* list) {
    while (list) {
        KeyNode* next = list->next;
        delete list;
        list = next;
    }
}

int ValidateUserKey(const char* key) {
    if (!key) return 0;
    const char* p = key;
    for (;;) {
        if (IsLetter(*p)) {
            ++p;
            while (IsLetter(*p) || IsDigit(*p) || *p == '_') ++p;
        } else if (IsDigit(*p)) {
            while (IsDigit(*p)) ++p;
        } else {
            return 0;  // empty component, leading '_' or a foreign byte
        }
        if (*p == '\0') return 1;
        if (*p != '.') return 0;
        ++p;
    }
}
