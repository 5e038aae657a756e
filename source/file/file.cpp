// The file library: numbered handles and reading and writing through them
// (fixed-width numbers, text, lines, whole files); the file-system natives
// live in file_system.cpp and are registered here with the rest.
//
// Invariants:
//  - A handle is slot index + 1 (1 to 64). A slot is free exactly when its
//    stream is null; opening takes the lowest free slot, so a closed handle's
//    number is handed out again. A slot's mode never changes while it is open.
//  - Handle arguments are validated in 64 bits (FloorToInt(f) - 1), so
//    NaN or huge handles are simply invalid; an invalid handle is never an
//    error, a valid handle in the wrong mode always is.
//  - Fixed-width items are little-endian whatever the host; every double is
//    range-checked before it is converted to an integer or a float.
//  - Reading never allocates more than the data that actually arrived (plus
//    one chunk), whatever count a script asks for.
//  - No lost write passes as written: once a stream has failed, its writes
//    report 0 and its close reports 0, and a file left open whose data is
//    lost at the end of the run is named on the error output and fails the
//    process.
//  - Every path goes through SandboxedPath before the system sees it, so a
//    host's sandbox directory confines the whole library.
#include "file/file.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "file/file_system.h"
#include "interpreter/sandbox.h"
#include "interpreter/natives.h"

namespace zorvik {

namespace {

struct FileSlot {
    FILE* stream = nullptr;
    int32_t writable = 0;
    std::string path;  // as opened, to name the file when its data is lost
};

constexpr int64_t kSlots = 64;
thread_local std::array<FileSlot, kSlots> sFiles;

// Counts given as "unlimited".
constexpr int64_t kUnlimited = INT32_MAX;

// Lowest free slot index, or -1 when all are in use.
int32_t LowestFreeSlot() {
    for (int32_t i = 0; i < kSlots; ++i) {
        if (!sFiles[i].stream) return i;
    }
    return -1;
}

// The open slot that the number f names, or null.
FileSlot* OpenSlot(const Var* f) {
    int64_t index = int64_t{FloorToInt(f->value.number)} - 1;
    if (index < 0 || index >= kSlots || !sFiles[index].stream) return nullptr;
    return &sFiles[index];
}

// --- fixed-width items ---

struct Width {
    int32_t b;
    int32_t u;
};

// The width arguments b and u; both must be numbers. The messages name their
// place in the calling function's argument list.
Width WidthArgs(const char* bMessage, const char* uMessage) {
    const Var* b = ZK_GetLocalVariable("b");
    const Var* u = ZK_GetLocalVariable("u");
    ZK_CheckNumber(b, bMessage);
    ZK_CheckNumber(u, uMessage);
    return {FloorToInt(b->value.number), FloorToInt(u->value.number)};
}

// Bytes per item, 0 for an unsupported width.
size_t ItemSize(Width w) {
    switch (w.b) {
        case 8: return 1;
        case 16: return 2;
        case 32: return 4;
        case 64: return w.u == 0 ? 4 : 8;
        default: return 0;
    }
}

void PutLE(uint64_t bits, size_t size, unsigned char* out) {
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

uint64_t GetLE(const unsigned char* in, size_t size) {
    uint64_t bits = 0;
    for (size_t i = 0; i < size; ++i) bits |= uint64_t{in[i]} << (8 * i);
    return bits;
}

// Single precision with IEEE rounding, spelled out for values beyond the
// float range, where a plain conversion is undefined.
float ToFloat(double v) {
    if (!std::isfinite(v) || std::fabs(v) <= FLT_MAX) return static_cast<float>(v);
    // Beyond FLT_MAX, values below the halfway point to 2^128 round down.
    float magnitude = std::fabs(v) < 0x1p128 - 0x1p103 ? FLT_MAX : INFINITY;
    return std::copysign(magnitude, static_cast<float>(v > 0 ? 1 : -1));
}

// Low 32 bits of floor(v) as a signed 64-bit integer; 0 when it has none
// (NaN, or beyond the 64-bit range).
uint64_t Low32OfFloor(double v) {
    double f = std::floor(v);
    if (!(f >= -0x1p63 && f < 0x1p63)) return 0;
    return static_cast<uint64_t>(static_cast<int64_t>(f)) & 0xFFFFFFFFu;
}

// Encodes v into out; returns the item size (0: unsupported width).
size_t Encode(double v, Width w, unsigned char* out) {
    size_t size = ItemSize(w);
    uint64_t bits = 0;
    if (w.b == 64) {
        if (w.u == 0) {
            float single = ToFloat(v);
            uint32_t raw;
            std::memcpy(&raw, &single, sizeof raw);
            bits = raw;
        } else {
            std::memcpy(&bits, &v, sizeof bits);
        }
    } else if (w.b == 32 && w.u == 0) {
        bits = static_cast<uint32_t>(FloorToInt(v));
    } else {
        // 8 and 16 bits, and unsigned 32: the low bits of the floored number.
        bits = Low32OfFloor(v);
    }
    PutLE(bits, size, out);
    return size;
}

double Decode(const unsigned char* in, Width w) {
    uint64_t bits = GetLE(in, ItemSize(w));
    switch (w.b) {
        // Separate returns: a shared ?: type would read the signed forms unsigned.
        case 8:
            if (w.u == 0) return static_cast<int8_t>(bits);
            return static_cast<uint8_t>(bits);
        case 16:
            if (w.u == 0) return static_cast<int16_t>(bits);
            return static_cast<uint16_t>(bits);
        case 32:
            if (w.u == 0) return static_cast<int32_t>(bits);
            return static_cast<uint32_t>(bits);
        default: break;
    }
    if (w.u == 0) {
        uint32_t raw = static_cast<uint32_t>(bits);
        float single;
        std::memcpy(&single, &raw, sizeof single);
        return single;
    }
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Writes bytes and returns how many were taken. Output is buffered, so a
// failure shows when a buffer goes out: once the stream has failed, data
// already counted as written may be lost, and every write reports 0.
size_t WriteBytes(FILE* stream, const void* data, size_t size) {
    size_t written = std::fwrite(data, 1, size, stream);
    return std::ferror(stream) ? 0 : written;
}

// Writes one item; true when it went out whole.
bool WriteItem(FILE* stream, double v, Width w) {
    unsigned char bytes[8];
    size_t size = Encode(v, w, bytes);
    return size > 0 && WriteBytes(stream, bytes, size) == size;
}

// Closes the slot's stream and frees the slot. False when written data was
// lost: the stream had failed, or its final flush failed.
bool CloseSlot(FileSlot& slot) {
    bool lost = slot.writable && std::ferror(slot.stream);
    lost = std::fclose(slot.stream) != 0 || lost;
    slot = {};
    return !lost;
}

// Reads one item into value (0 when nothing arrived); true when it came whole.
bool ReadItem(FILE* stream, Width w, double& value) {
    unsigned char bytes[8] = {};
    size_t size = ItemSize(w);
    bool whole = size > 0 && std::fread(bytes, 1, size, stream) == size;
    value = Decode(bytes, w);
    return whole;
}

// The element range of writev and readv: first index and count.
struct Range {
    int64_t first = 0;
    int64_t count = kUnlimited;
};

Range RangeArgs(const char* nMessage, const char* mMessage) {
    const Var* n = ZK_GetLocalVariable("n");
    const Var* m = ZK_GetLocalVariable("m");
    Range range;
    if (!n) return range;
    ZK_CheckNumber(n, nMessage);
    if (!m) {
        range.count = FloorToInt(n->value.number);
        return range;
    }
    ZK_CheckNumber(m, mMessage);
    range.first = FloorToInt(n->value.number);
    range.count = FloorToInt(m->value.number);
    return range;
}

std::string ElementName(int64_t index) { return "v." + std::to_string(index); }

// --- text ---

std::string Text(const Var* v) {
    switch (v->type) {
        case VAR_NUMBER: {
            double t = v->value.number;
            long long whole = t >= -0x1p63 && t < 0x1p63 ? static_cast<long long>(t) : INT64_MIN;
            return std::to_string(whole);
        }
        case VAR_STRING: return v->value.string;
        case VAR_FUNCTION: return "(FUNCTION)";
        default: return "(UNDEFINED)";
    }
}

// --- the natives ---

// The open slot that f names, or null for an invalid handle; a valid handle
// whose mode is not `writable` ends the run with `modeMessage`.
FileSlot* SlotInMode(const Var* f, int32_t writable, const char* modeMessage) {
    FileSlot* slot = OpenSlot(f);
    if (slot && slot->writable != writable) ZK_Error(modeMessage);
    return slot;
}

FileSlot* WritableSlot(const Var* f, const char* modeMessage) { return SlotInMode(f, 1, modeMessage); }
FileSlot* ReadableSlot(const Var* f, const char* modeMessage) { return SlotInMode(f, 0, modeMessage); }

bool IsDirectory(FILE* stream) {
    struct stat status;
    return fstat(fileno(stream), &status) == 0 && S_ISDIR(status.st_mode);
}

void Open(const char* native, const char* mode, int32_t writable, const char* message) {
    const Var* p = ZK_GetLocalVariable("p");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckString(p, message);
    std::string path = SandboxedPath(native, p->value.string);
    Var_SetNumber(r, 0);
    int32_t slot = LowestFreeSlot();
    if (slot < 0) return;
    FILE* stream = std::fopen(path.c_str(), mode);
    if (!stream) return;
    // Reading a directory "rb" succeeds on Linux and gives no data; it is
    // refused like a missing file.
    if (IsDirectory(stream)) {
        std::fclose(stream);
        return;
    }
    sFiles[slot] = {stream, writable, p->value.string};
    Var_SetNumber(r, slot + 1);
}

void file_create() { Open("create", "wb", 1, "create expected string as first parameter"); }
void file_append() { Open("append", "ab", 1, "append expected string as first parameter"); }
void file_open() { Open("open", "rb", 0, "open expected string as first parameter"); }

void file_close() {
    const Var* f = ZK_GetLocalVariable("f");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "close expected number as parameter");
    FileSlot* slot = OpenSlot(f);
    if (!slot) {
        Var_SetNumber(r, 0);
        return;
    }
    Var_SetNumber(r, CloseSlot(*slot) ? 1 : 0);
}

void file_write() {
    const Var* f = ZK_GetLocalVariable("f");
    const Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "write expected number as first parameter");
    ZK_CheckNumber(v, "write expected number as second parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = WritableSlot(f, "file passed to write has not been opened in write mode");
    if (!slot) return;
    Width w = WidthArgs("write expected number as third parameter", "write expected number as fourth parameter");
    Var_SetNumber(r, WriteItem(slot->stream, v->value.number, w) ? 1 : 0);
}

void file_writev() {
    const Var* f = ZK_GetLocalVariable("f");
    const Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "writev expected number as first parameter");
    ZK_CheckAny(v, "writev expected variable as second parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = WritableSlot(f, "file passed to writev has not been opened in write mode");
    if (!slot) return;
    Range range = RangeArgs("writev expected number as third parameter", "writev expected number as fourth parameter");
    Width w = WidthArgs("writev expected number as fifth parameter", "writev expected number as sixth parameter");
    int64_t written = 0;
    for (int64_t i = 0; i < range.count; ++i) {
        const Var* element = ZK_GetLocalVariable(ElementName(range.first + i).c_str());
        if (!ZK_IsNumber(element)) break;
        if (WriteItem(slot->stream, element->value.number, w)) ++written;
    }
    Var_SetNumber(r, static_cast<double>(written));
}

void file_writes() {
    const Var* f = ZK_GetLocalVariable("f");
    const Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "write expected number as first parameter");
    ZK_CheckAny(v, "write expected second parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = WritableSlot(f, "file passed to write has not been opened in write mode");
    if (!slot) return;
    std::string text = Text(v);
    Var_SetNumber(r, static_cast<double>(WriteBytes(slot->stream, text.data(), text.size())));
}

void file_wln() {
    const Var* f = ZK_GetLocalVariable("f");
    const Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "wln expected number as first parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = WritableSlot(f, "file passed to wln has not been opened in write mode");
    if (!slot) return;
    std::string text = v ? Text(v) : std::string();
    text += '\n';
    Var_SetNumber(r, static_cast<double>(WriteBytes(slot->stream, text.data(), text.size())));
}

void file_read() {
    const Var* f = ZK_GetLocalVariable("f");
    Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "read expected number as first parameter");
    ZK_CheckAny(v, "read expected variable as second parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = ReadableSlot(f, "file passed to read has not been opened in read mode");
    if (!slot) return;
    Width w = WidthArgs("read expected number as third parameter", "read expected number as fourth parameter");
    double value;
    bool whole = ReadItem(slot->stream, w, value);
    Var_SetNumber(v, value);
    Var_SetNumber(r, whole ? 1 : 0);
}

void file_readv() {
    const Var* f = ZK_GetLocalVariable("f");
    const Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "readv expected number as first parameter");
    ZK_CheckAny(v, "readv expected variable as second parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = ReadableSlot(f, "file passed to readv has not been opened in read mode");
    if (!slot) return;
    Range range = RangeArgs("readv expected number as third parameter", "readv expected number as fourth parameter");
    Width w = WidthArgs("readv expected number as fifth parameter", "readv expected number as sixth parameter");
    int64_t stored = 0;
    double value;
    while (stored < range.count && ReadItem(slot->stream, w, value)) {
        Var_SetNumber(ZK_CreateLocalVariable(ElementName(range.first + stored).c_str()), value);
        ++stored;
    }
    Var_SetNumber(r, static_cast<double>(stored));
}

void file_readc() {
    const Var* f = ZK_GetLocalVariable("f");
    Var* v = ZK_GetLocalVariable("v");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "readc expected number as first parameter");
    ZK_CheckAny(v, "readc expected variable as second parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = ReadableSlot(f, "file passed to readc has not been opened in read mode");
    int c = slot ? std::fgetc(slot->stream) : EOF;
    if (c == EOF) {
        Var_SetString(v, "");
        return;
    }
    char text[2] = {static_cast<char>(c), '\0'};
    Var_SetString(v, text);
    Var_SetNumber(r, 1);
}

void file_reads() {
    const Var* f = ZK_GetLocalVariable("f");
    Var* v = ZK_GetLocalVariable("v");
    const Var* n = ZK_GetLocalVariable("n");
    Var* r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, "reads expected number as first parameter");
    ZK_CheckString(v, "reads expected variable as second parameter");
    ZK_CheckNumber(n, "reads expected number as third parameter");
    Var_SetNumber(r, 0);
    FileSlot* slot = OpenSlot(f);
    if (!slot) return;
    int64_t count = FloorToInt(n->value.number);
    if (count <= 0) {
        Var_SetString(v, "");
        return;
    }
    if (slot->writable) ZK_Error("file passed to reads has not been opened in read mode");
    // Grow by what arrives: a script may ask for far more than the file holds.
    constexpr int64_t kChunk = int64_t{64} * 1024;
    std::string text;
    while (static_cast<int64_t>(text.size()) < count) {
        size_t want = static_cast<size_t>(std::min(kChunk, count - static_cast<int64_t>(text.size())));
        size_t old = text.size();
        text.resize(old + want);
        size_t got = std::fread(text.data() + old, 1, want, slot->stream);
        text.resize(old + got);
        if (got < want) break;
    }
    Var_SetString(v, text.c_str());  // ends at the first zero byte, if any
    Var_SetNumber(r, static_cast<double>(text.size()));
}

// The messages of rln and rall, in the order of their checks.
struct TextReaderMessages {
    const char* handle;
    const char* variable;
    const char* mode;
};

// Shared start of rln and rall: the open read-only slot, or null after
// setting v to the empty string and r to 0.
FileSlot* TextReaderSlot(const TextReaderMessages& messages, Var*& v, Var*& r) {
    const Var* f = ZK_GetLocalVariable("f");
    v = ZK_GetLocalVariable("v");
    r = ZK_CreateLocalVariable("r");
    ZK_CheckNumber(f, messages.handle);
    ZK_CheckAny(v, messages.variable);
    FileSlot* slot = ReadableSlot(f, messages.mode);
    if (!slot) {
        Var_SetString(v, "");
        Var_SetNumber(r, 0);
    }
    return slot;
}

void file_rln() {
    Var* v;
    Var* r;
    FileSlot* slot =
        TextReaderSlot({"rln expected number as first parameter", "rln expected variable as second parameter",
                        "file passed to rln has not been opened in read mode"},
                       v, r);
    if (!slot) return;
    std::string line;
    bool newline = false;
    for (int c; (c = std::fgetc(slot->stream)) != EOF;) {
        if (c == '\n') {
            newline = true;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            break;
        }
        line += static_cast<char>(c);
    }
    Var_SetString(v, line.c_str());
    Var_SetNumber(r, static_cast<double>(std::strlen(line.c_str()) + (newline ? 1 : 0)));
}

void file_rall() {
    Var* v;
    Var* r;
    FileSlot* slot =
        TextReaderSlot({"rall expected number as first parameter", "rall expected variable as second parameter",
                        "file passed to rall has not been opened in read mode"},
                       v, r);
    if (!slot) return;
    std::string text;
    for (int c; (c = std::fgetc(slot->stream)) != EOF;) {
        if (c == '\n' && !text.empty() && text.back() == '\r') {
            text.back() = '\n';
        } else {
            text += static_cast<char>(c);
        }
    }
    Var_SetString(v, text.c_str());
    Var_SetNumber(r, static_cast<double>(std::strlen(text.c_str())));
}

// The file-system natives (file_system.h) come first. The order of
// registration has no visible effect.
constexpr ZK_NativeReg kNatives[] = {
    {"file.list", file_list},     {"file.files", file_files},   {"file.dirs", file_dirs},
    {"file.cd", file_cd},         {"file.mkdir", file_mkdir},   {"file.remove", file_remove},
    {"file.chmod", file_chmod},   {"file.info", file_info},     {"file.create", file_create},
    {"file.append", file_append}, {"file.open", file_open},     {"file.close", file_close},
    {"file.write", file_write},   {"file.writev", file_writev}, {"file.writes", file_writes},
    {"file.wln", file_wln},       {"file.read", file_read},     {"file.readv", file_readv},
    {"file.reads", file_reads},   {"file.readc", file_readc},   {"file.rln", file_rln},
    {"file.rall", file_rall},     {"file.rename", file_rename},
};

}  // namespace

void file_init() {
    sFiles = {};
    ZK_RegisterNatives(kNatives);
}

// No script is left to tell, so lost data is reported on the error output
// (and by the result, which the command line makes its status).
bool file_terminate() {
    bool kept = true;
    for (FileSlot& slot : sFiles) {
        if (!slot.stream) continue;
        std::string path = slot.path;
        if (!CloseSlot(slot)) {
            std::string line = "zorvik: could not write \"" + path + "\"\n";
            ZK_WriteError(line.data(), line.size());
            kept = false;
        }
    }
    return kept;
}

}  // namespace zorvik
