// The native-function side of the public interface: registration, the
// locals and globals a native reads and writes, argument checks and errors.
//
// A native runs inside the `__CALL` statement of a script function, so its
// arguments are the locals of scope sScope; their paths are "<scope>.<name>".
#include <climits>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "interpreter/functions.h"
#include "interpreter/runner.h"
#include "interpreter/zorvik.h"

namespace {

std::string LocalPath(const char* name) { return std::to_string(sScope) + "." + name; }

// What sNativeFuncs holds for a name; owned by the table (DeleteNative).
struct NativeEntry {
    ZK_NativeFunc func;
    void* context;
};

void* sNativeContext = nullptr;  // the context of the native running now

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

void DeleteNative(void* entry) { delete static_cast<NativeEntry*>(entry); }

ZK_NativeFunc ReplaceNative(const char* name, ZK_NativeFunc func) {
    auto* entry = static_cast<NativeEntry*>(HT_Get(sNativeFuncs, name));
    if (!entry) return nullptr;
    ZK_NativeFunc old = entry->func;
    entry->func = func;
    return old;
}

bool CallNative(const char* name) {
    const auto* entry = static_cast<const NativeEntry*>(HT_Get(sNativeFuncs, name));
    if (!entry) return false;
    ContextScope context(entry->context);
    try {
        entry->func();
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
    return true;
}

void ZK_RegisterNatives(std::span<const ZK_NativeReg> natives) {
    for (const ZK_NativeReg& native : natives) ZK_RegisterNativeFunc(native.name, native.func);
}

Var* ZK_GetLocalVariable(const char* name) { return MM_GetVar(LocalPath(name)); }

Var* ZK_CreateLocalVariable(const char* name) {
    Var* var = MM_CreateVar(LocalPath(name));
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

int32_t FloorToInt(double value) {
    double f = std::floor(value);
    if (!(f >= static_cast<double>(INT32_MIN) && f <= static_cast<double>(INT32_MAX))) return INT32_MIN;
    return static_cast<int32_t>(f);
}

int32_t ZK_IntArg(const char* name, const char* message) {
    return FloorToInt(ZK_NumberArg(name, message)->value.number);
}

int32_t ZK_OptIntArg(const char* name, const char* message, int32_t fallback) {
    const Var* var = ZK_OptNumber(ZK_GetLocalVariable(name), message);
    return var ? FloorToInt(var->value.number) : fallback;
}
