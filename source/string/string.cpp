// The string library: byte-level access, substrings, case mapping, searching,
// splitting, byte-order comparison and a test for numeric text.
//
// Invariants:
//  - Strings are bytes up to the terminating NUL; positions count from 0 and
//    bytes read as numbers are signed (0x80..0xFF give -128..-1).
//  - Results go into the local r; a native that has "no result" leaves r as
//    it found it. An array result is built as the members r.0 ... r.(n-1)
//    first, then r itself is reset (keeping its members) and set to n.
//  - An argument's text is held (ArgText) while the native runs, never
//    copied: writing r may release the variable's own hold on it (r may be
//    an alias of the argument), not the native's.
//  - Position arithmetic is done in 64 bits on clamped values: no position
//    taken from a script can wrap or reach outside the string.
#include "string/string.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter/natives.h"

namespace zorvik {

namespace {

double SignedByte(char c) {
    int value = static_cast<unsigned char>(c);
    return value >= 0x80 ? value - 0x100 : value;
}

// The text of a string argument, held for as long as the native needs it.
class ArgText {
  public:
    explicit ArgText(const Var* var) : text_(MM_ShareText(var->value.string)), length_(Var_StringLength(var)) {}
    ArgText(const char* name, const char* message) : ArgText(ZK_StringArg(name, message)) {}
    ~ArgText() { MM_ReleaseText(text_); }
    ArgText(const ArgText&) = delete;
    ArgText& operator=(const ArgText&) = delete;
    std::string_view View() const { return {text_, length_}; }
    const char* CString() const { return text_; }
    size_t size() const { return length_; }
    char operator[](size_t i) const { return text_[i]; }

  private:
    char* text_;
    size_t length_;
};

void SetString(Var* var, std::string_view text) {
    Var_TakeText(var, MM_CopyText(text.data(), text.size()), text.size());
}

// `text` may lie in an argument: ArgText keeps it while r is reset.
void SetResultString(std::string_view text) { SetString(ZK_CreateLocalVariable("r"), text); }

void SetResultNumber(double value) { Var_SetNumber(ZK_CreateLocalVariable("r"), value); }

// The local r, which a function that returns a list fills: made when
// missing, and undefined until the count is stored.
Var* ResultList() { return ZK_CreateLocalVariable("r"); }

// The element r.<index> of `list` (ResultList), made when missing. Elements
// made in order are stepped to by index, without composing their key.
Var* CreateElement(Var* list, size_t index) {
    ElementRef element;
    if (index <= UINT32_MAX && MM_StepElement(list, static_cast<uint32_t>(index), true, &element))
        return MM_ElementVar(element);
    std::string key = std::to_string(index);
    KeyPart part{key.data(), static_cast<uint32_t>(key.size()), HT_RawHash(key.data(), key.size())};
    return MM_CreateMemberParts(list, &part, 1);
}

void SetResultCount(size_t count) { SetResultNumber(static_cast<double>(count)); }

void SetResultPositions(const std::vector<size_t>& positions) {
    Var* list = ResultList();
    for (size_t i = 0; i < positions.size(); ++i)
        Var_SetNumber(CreateElement(list, i), static_cast<double>(positions[i]));
    SetResultCount(positions.size());
}

// The bytes [from, from + count) of text, with both clamped into the text.
std::string_view Slice(std::string_view text, int64_t from, int64_t count) {
    int64_t len = static_cast<int64_t>(text.size());
    from = std::clamp<int64_t>(from, 0, len);
    count = std::clamp<int64_t>(count, 0, len - from);
    return text.substr(static_cast<size_t>(from), static_cast<size_t>(count));
}

// The arguments of find and findAll. `ok` is false where no search is made:
// an empty f, or fewer than flen bytes (or none) left from the offset.
struct Search {
    ArgText text{"s", "find expected string as first parameter"};
    ArgText pattern{"f", "find expected string as second parameter"};
    size_t offset = 0;
    bool ok = false;
};

// Filled in place: the held texts cannot be moved.
void SearchArgs(Search& search) {
    int64_t off = std::max<int64_t>(ZK_OptIntArg("p", "find expected number as third parameter", 0), 0);
    int64_t rest = static_cast<int64_t>(search.text.size()) - off;
    int64_t flen = static_cast<int64_t>(search.pattern.size());
    search.ok = flen > 0 && rest > 0 && flen <= rest;
    search.offset = static_cast<size_t>(std::max<int64_t>(off, 0));
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool IsNumericText(const char* p) {
    while (IsBlank(*p)) ++p;
    if (*p == '-') ++p;
    int digits = 0;
    int points = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)) || *p == '.'; ++p) {
        if (*p == '.' && ++points > 1) return false;
        ++digits;
    }
    if (digits == 0) return false;
    while (IsBlank(*p)) ++p;
    return *p == '\0';
}

std::string Mapped(std::string text, int (*map)(int)) {
    for (char& c : text) c = static_cast<char>(map(static_cast<unsigned char>(c)));
    return text;
}

// The text of s itself is rewritten; the mapping keeps every byte non-zero
// and the length unchanged.
void MapInPlace(const char* message, int (*map)(int)) {
    Var* s = ZK_StringArg("s", message);
    for (char* p = Var_MutableString(s); *p; ++p) *p = static_cast<char>(map(static_cast<unsigned char>(*p)));
}

void string_chars() {
    ArgText text("s", "chars expected string parameter");
    Var* list = ResultList();
    for (size_t i = 0; i < text.size(); ++i) SetString(CreateElement(list, i), text.View().substr(i, 1));
    SetResultCount(text.size());
}

void string_bytes() {
    ArgText text("s", "bytes expected string parameter");
    Var* list = ResultList();
    for (size_t i = 0; i < text.size(); ++i) Var_SetNumber(CreateElement(list, i), SignedByte(text[i]));
    SetResultCount(text.size());
}

void string_left() {
    ArgText text("s", "left expected string as first parameter");
    int64_t k = ZK_IntArg("n", "left expected number as second parameter");
    SetResultString(Slice(text.View(), 0, k));
}

void string_right() {
    ArgText text("s", "right expected string as first parameter");
    int64_t k = ZK_IntArg("n", "right expected number as second parameter");
    SetResultString(Slice(text.View(), k, static_cast<int64_t>(text.size())));
}

void string_last() {
    ArgText text("s", "last expected string as first parameter");
    int64_t len = static_cast<int64_t>(text.size());
    int64_t count = std::clamp<int64_t>(ZK_IntArg("n", "last expected number as second parameter"), 0, len);
    SetResultString(Slice(text.View(), len - count, count));
}

void string_charAt() {
    ArgText text("s", "charAt expected string as first parameter");
    int64_t k = ZK_IntArg("n", "charAt expected number as second parameter");
    SetResultString(k >= 0 ? Slice(text.View(), k, 1) : std::string_view());
}

void string_byteAt() {
    ArgText text("s", "byteAt expected string as first parameter");
    int64_t k = ZK_IntArg("n", "byteAt expected number as second parameter");
    if (k >= 0 && k < static_cast<int64_t>(text.size())) SetResultNumber(SignedByte(text[static_cast<size_t>(k)]));
}

// Byte 0 cannot live inside a string, so char(0) is the empty string.
void string_char() {
    int64_t k = ZK_IntArg("n", "char expected number as parameter");
    if (k < -128 || k > 127) return;
    char byte = static_cast<char>(static_cast<unsigned char>(k & 0xFF));
    SetResultString(std::string_view(&byte, byte ? 1 : 0));
}

void string_byte() {
    ArgText text("c", "byte expected string as parameter");
    if (text.size() > 0) SetResultNumber(SignedByte(text[0]));
}

void string_sub() {
    ArgText text("s", "sub expected string as first parameter");
    int64_t start = ZK_IntArg("n", "sub expected number as second parameter");
    int64_t count = std::max<int64_t>(ZK_OptIntArg("m", "sub expected number as third parameter", 1), 0);
    if (start < 0) {
        count += start;
        start = 0;
    }
    // Both are 32-bit values here, so start + count cannot wrap in 64 bits.
    SetResultString(Slice(text.View(), start, count));
}

void string_lower() {
    ArgText text("s", "lower expected string as parameter");
    SetResultString(Mapped(std::string(text.View()), [](int c) { return std::tolower(c); }));
}

void string_upper() {
    ArgText text("s", "upper expected string as parameter");
    SetResultString(Mapped(std::string(text.View()), [](int c) { return std::toupper(c); }));
}

void string_makeLower() {
    MapInPlace("makeLower expected string as parameter", [](int c) { return std::tolower(c); });
}

void string_makeUpper() {
    MapInPlace("makeUpper expected string as parameter", [](int c) { return std::toupper(c); });
}

void string_find() {
    Search search;
    SearchArgs(search);
    if (!search.ok) return;
    size_t at = search.text.View().find(search.pattern.View(), search.offset);
    if (at != std::string_view::npos) SetResultNumber(static_cast<double>(at));
}

// Each search resumes behind the previous match: occurrences do not overlap.
void string_findAll() {
    Search search;
    SearchArgs(search);
    std::string_view text = search.text.View(), pattern = search.pattern.View();
    std::vector<size_t> positions;
    if (search.ok) {
        for (size_t at = text.find(pattern, search.offset); at != std::string_view::npos;
             at = text.find(pattern, at + pattern.size()))
            positions.push_back(at);
    }
    SetResultPositions(positions);
}

// Empty pieces give no element. An empty separator separates nothing: the
// whole string is the one element (none when it is empty too).
void string_split() {
    ArgText text("s", "find expected string as first parameter");
    ArgText separator("f", "find expected string as second parameter");
    std::vector<std::string_view> pieces;
    std::string_view rest = text.View();
    if (separator.size() > 0) {
        for (size_t at = rest.find(separator.View()); at != std::string_view::npos; at = rest.find(separator.View())) {
            if (at > 0) pieces.push_back(rest.substr(0, at));
            rest.remove_prefix(at + separator.size());
        }
    }
    if (!rest.empty()) pieces.push_back(rest);
    Var* list = ResultList();
    for (size_t i = 0; i < pieces.size(); ++i) SetString(CreateElement(list, i), pieces[i]);
    SetResultCount(pieces.size());
}

void string_isNumber() {
    ArgText text("s", "isNumber expected string as first parameter");
    SetResultNumber(IsNumericText(text.CString()) ? 1 : 0);
}

// -1, 0 or 1 as s sorts before, with or after u, byte by byte (unsigned):
// a string sorts after each of its prefixes.
void string_compare() {
    const Var* s = ZK_StringArg("s", "compare expected string as first parameter");
    const Var* u = ZK_StringArg("u", "compare expected string as second parameter");
    int order = std::strcmp(s->value.string, u->value.string);
    SetResultNumber(order < 0 ? -1 : order > 0 ? 1 : 0);
}

// The order of registration has no visible effect.
constexpr ZK_NativeReg kNatives[] = {
    {"string.chars", string_chars},         {"string.bytes", string_bytes},
    {"string.left", string_left},           {"string.right", string_right},
    {"string.last", string_last},           {"string.charAt", string_charAt},
    {"string.byteAt", string_byteAt},       {"string.char", string_char},
    {"string.byte", string_byte},           {"string.sub", string_sub},
    {"string.lower", string_lower},         {"string.upper", string_upper},
    {"string.makeLower", string_makeLower}, {"string.makeUpper", string_makeUpper},
    {"string.find", string_find},           {"string.findAll", string_findAll},
    {"string.split", string_split},         {"string.isNum", string_isNumber},
    {"string.compare", string_compare},
};

}  // namespace

void string_init() { ZK_RegisterNatives(kNatives); }

}  // namespace zorvik
