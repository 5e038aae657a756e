// The native-function side of the public interface: registration, the
// locals and globals a native reads and writes, argument checks and errors.
//
// A native runs inside the `__CALL` statement of a script function, so its
// arguments are the locals of scope sScope; their paths are "<scope>.<name>".
// Inside a call they are walked from the scope's root by their parts, hashed
// in place: reading an argument builds no path string.
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "interpreter/assignments.h"
#include "interpreter/functions.h"
#include "interpreter/natives.h"
#include "interpreter/runner.h"

namespace zorvik {

namespace {

std::string LocalPath(const char* name) { return std::to_string(sScope) + "." + name; }

// The parts of a local name split at its points, as MM_GetVar would split
// "<scope>.<name>". Names with more parts than fit take the path instead.
class LocalParts {
  public:
    explicit LocalParts(const char* name) {
        for (const char* p = name;; ++p) {
            const char* end = p;
            while (*end && *end != '.') ++end;
            if (count_ == kMax) {
                count_ = 0;
                return;
            }
            size_t length = static_cast<size_t>(end - p);
            parts_[count_++] = {p, static_cast<uint32_t>(length), HT_RawHash(p, length)};
            if (!*end) return;
            p = end;
        }
    }
    // False when the path must be walked instead: at top level (scope 0 has
    // no root by number) or for a name of many parts.
    bool Usable() const { return count_ > 0 && sScope > 0; }
    const KeyPart* Parts() const { return parts_; }
    size_t Count() const { return count_; }

  private:
    static constexpr size_t kMax = 8;
    KeyPart parts_[kMax];
    size_t count_ = 0;
};

}  // namespace

// What sNativeFuncs holds for a name; owned by the table (DeleteNative).
struct NativeEntry {
    ZK_NativeFunc func;
    void* context;
};

namespace {

thread_local constinit void* sNativeContext = nullptr;  // the context of the native running now

// Makes a native's context current while it runs, also when it throws.
class ContextScope {
  public:
    explicit ContextScope(void* context) : saved_(sNativeContext) { sNativeContext = context; }
    ~ContextScope() { sNativeContext = saved_; }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

  private:
    void* saved_;
};

}  // namespace

}  // namespace zorvik

using namespace zorvik;

int ZK_RegisterNativeFunc(const char* name, ZK_NativeFunc func) {
    return ZK_RegisterNativeFuncWithContext(name, func, nullptr);
}

int ZK_RegisterNativeFuncWithContext(const char* name, ZK_NativeFunc func, void* context) {
    auto entry = std::make_unique<NativeEntry>(NativeEntry{func, context});
    if (!HT_Add(sNativeFuncs, name, entry.get())) return 0;
    static_cast<void>(entry.release());  // the table owns it now
    return 1;
}

void* ZK_NativeContext() { return sNativeContext; }

namespace zorvik {

void DeleteNative(void* entry) { delete static_cast<NativeEntry*>(entry); }

ZK_NativeFunc ReplaceNative(const char* name, ZK_NativeFunc func) {
    auto* entry = static_cast<NativeEntry*>(HT_Get(sNativeFuncs, name));
    if (!entry) return nullptr;
    ZK_NativeFunc old = entry->func;
    entry->func = func;
    return old;
}

const NativeEntry* FindNative(const char* name) { return static_cast<const NativeEntry*>(HT_Get(sNativeFuncs, name)); }

bool CallNative(const char* name) {
    const NativeEntry* entry = FindNative(name);
    if (!entry) return false;
    RunNative(*entry, name);
    return true;
}

void RunNative(const NativeEntry& entry, const char* name) {
    ContextScope context(entry.context);
    try {
        entry.func();
    } catch (const RunExit&) {
        throw;  // ZK_Error, exit: the run's own ends
    } catch (const std::bad_alloc&) {
        throw;  // "Out of memory", as anywhere in a run
    } catch (const std::length_error&) {
        throw;
    } catch (const std::exception& failure) {
        ErrorF("%s failed: %s", ScriptText(name).c_str(), failure.what());
    } catch (...) {
        ErrorF("%s failed", ScriptText(name).c_str());
    }
}

namespace {

// The names of disabled natives; a set, so that each stays where it is for
// the refusing function's context.
thread_local std::set<std::string> sDisabled;

void RefuseCall() {
    const auto* name = static_cast<const std::string*>(ZK_NativeContext());
    ErrorF("%s is disabled by the host", ScriptText(*name).c_str());
}

}  // namespace

}  // namespace zorvik

int ZK_DisableNative(const char* name) {
    auto* entry = static_cast<NativeEntry*>(HT_Get(sNativeFuncs, name));
    if (!entry) return 0;
    entry->func = RefuseCall;
    entry->context = const_cast<std::string*>(&*sDisabled.insert(name).first);
    return 1;
}

void ZK_RegisterNatives(std::span<const ZK_NativeReg> natives) {
    for (const ZK_NativeReg& native : natives) ZK_RegisterNativeFunc(native.name, native.func);
}

Var* ZK_GetLocalVariable(const char* name) {
    LocalParts local(name);
    if (local.Usable()) return MM_GetScoped(sScope, local.Parts(), local.Count());
    return MM_GetVar(LocalPath(name));
}

Var* ZK_CreateLocalVariable(const char* name) {
    LocalParts local(name);
    Var* var = local.Usable() ? MM_CreateScoped(sScope, local.Parts(), local.Count()) : MM_CreateVar(LocalPath(name));
    Var_Free(var);
    return var;
}

int ZK_DeleteLocalVariable(const char* name) { return MM_DeleteVar(LocalPath(name)); }

void ZK_UnrefLocalVariable(const char* name) { MM_UnaliasVar(LocalPath(name).c_str()); }

Var* ZK_GetGlobalVariable(const char* path) { return MM_GetVar(path); }

Var* ZK_CreateGlobalVariable(const char* path) {
    Var* var = MM_CreateVar(path);
    Var_Free(var);
    return var;
}

int ZK_DeleteGlobalVariable(const char* path) { return MM_DeleteVar(path); }

void ZK_Error(const char* message) { Error(message ? message : "Undefined error in native function"); }

Var* ZK_NumberArg(const char* name, const char* message) { return ZK_CheckNumber(ZK_GetLocalVariable(name), message); }

Var* ZK_StringArg(const char* name, const char* message) { return ZK_CheckString(ZK_GetLocalVariable(name), message); }

namespace zorvik {

int32_t FloorToInt(double value) {
    double f = std::floor(value);
    if (!(f >= static_cast<double>(INT32_MIN) && f <= static_cast<double>(INT32_MAX))) return INT32_MIN;
    return static_cast<int32_t>(f);
}

}  // namespace zorvik

int32_t ZK_IntArg(const char* name, const char* message) {
    return FloorToInt(ZK_NumberArg(name, message)->value.number);
}

int32_t ZK_OptIntArg(const char* name, const char* message, int32_t fallback) {
    const Var* var = ZK_OptNumber(ZK_GetLocalVariable(name), message);
    return var ? FloorToInt(var->value.number) : fallback;
}

ZK_Type ZK_TypeOf(const ZK_Value* value) {
    if (!value) return ZK_MISSING;
    switch (value->type) {
        case VAR_NUMBER: return ZK_NUMBER;
        case VAR_STRING: return ZK_STRING;
        case VAR_FUNCTION: return ZK_FUNCTION;
        default: return ZK_UNDEFINED;
    }
}

bool ZK_IsNumber(const ZK_Value* value) { return value && value->type == VAR_NUMBER; }

bool ZK_IsString(const ZK_Value* value) { return value && value->type == VAR_STRING; }

double ZK_GetNumber(const ZK_Value* value) { return ZK_IsNumber(value) ? value->value.number : 0; }

const char* ZK_GetString(const ZK_Value* value, size_t* length) {
    if (!ZK_IsString(value)) {
        if (length) *length = 0;
        return nullptr;
    }
    if (length) *length = Var_StringLength(value);
    return Var_GetString(value);
}

void ZK_SetNumber(ZK_Value* value, double number) { Var_SetNumber(value, number); }

void ZK_SetString(ZK_Value* value, const char* text, size_t length) {
    const void* nul = std::memchr(text, '\0', length);
    if (nul) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    char* block = MM_CopyText(text, length);
    Var_TakeText(value, block, length);
}

void ZK_SetUndefined(ZK_Value* value) { Var_Free(value); }

namespace {

// A member path split at its points and hashed, as a walk of a name does.
class MemberPath {
  public:
    explicit MemberPath(const char* name) {
        for (const char* p = name;; ++p) {
            const char* end = std::strchr(p, '.');
            if (!end) end = p + std::strlen(p);
            size_t length = static_cast<size_t>(end - p);
            parts_.push_back({p, static_cast<uint32_t>(length), HT_RawHash(p, length)});
            if (!*end) return;
            p = end;
        }
    }
    const KeyPart* Parts() const { return parts_.data(); }
    size_t Count() const { return parts_.size(); }
    const KeyPart& Last() const { return parts_.back(); }

  private:
    std::vector<KeyPart> parts_;
};

}  // namespace

ZK_Value* ZK_GetMember(ZK_Value* value, const char* name) {
    if (!value) return nullptr;
    MemberPath path(name);
    return MM_GetMemberParts(value, path.Parts(), path.Count());
}

ZK_Value* ZK_CreateMember(ZK_Value* value, const char* name) {
    if (!value) return nullptr;
    MemberPath path(name);
    return MM_CreateMemberParts(value, path.Parts(), path.Count());
}

int ZK_DeleteMember(ZK_Value* value, const char* name) {
    if (!value) return 0;
    MemberPath path(name);
    Var* holder = path.Count() == 1 ? value : MM_GetMemberParts(value, path.Parts(), path.Count() - 1);
    if (!holder || !MM_GetMemberParts(holder, &path.Last(), 1)) return 0;
    const std::string key(path.Last().text, path.Last().length);
    HT_Delete(holder->Children(), key.c_str(), DeleteVar);
    return 1;
}

namespace zorvik {
namespace {

// The values hosts keep (ZK_NewValue), each outside the namespace: no
// script name reaches them, so nothing but ZK_FreeValue and ZK_Terminate
// frees them.
thread_local std::set<Var*> sHostValues;

}  // namespace

void FreeHostValues() {
    for (Var* value : sHostValues) DeleteVar(value);
    sHostValues.clear();
}

}  // namespace zorvik

ZK_Value* ZK_NewValue() {
    auto value = std::make_unique<Var>();
    sHostValues.insert(value.get());
    return value.release();
}

void ZK_FreeValue(ZK_Value* value) {
    if (value && sHostValues.erase(value)) DeleteVar(value);
}

void ZK_CopyValue(ZK_Value* dest, const ZK_Value* source) {
    if (dest) DeepStoreInto(dest, source);
}

size_t ZK_MemberCount(ZK_Value* value) { return value ? static_cast<size_t>(value->MemberCount()) : 0; }

void ZK_ForEachMember(ZK_Value* value, ZK_MemberVisitor visit, void* user) {
    if (!value) return;
    // The names first, as a member loop takes them, so that the walk does not
    // depend on the table staying as it was.
    std::vector<std::string> names;
    KeyNode* list = MM_KeysOf(value);
    try {
        for (KeyNode* k = list; k; k = k->next) names.emplace_back(k->key);
    } catch (...) {
        MM_FreeKeys(list);
        throw;
    }
    MM_FreeKeys(list);
    for (const std::string& name : names) {
        KeyPart part{name.data(), static_cast<uint32_t>(name.size()), HT_RawHash(name.data(), name.size())};
        Var* member = MM_GetMemberParts(value, &part, 1);
        if (member && !visit(user, name.c_str(), member)) return;
    }
}
