// The token model: one process-wide array of tokens that every tokenized
// file is appended to, ending with its own TOKEN_EOF.
//
// Invariants:
//  - Positions in the array are held as indexes, never pointers: tokenizing
//    an imported file may reallocate the array. The texts of string and name
//    tokens live in a pool (one copy of each text) and name extents in
//    shared records, so pointers to them stay valid until the array is
//    cleared at the end of the run.
//  - Each parse fact cached for a token has a field or a Fact kind of its
//    own (0 = not yet known), so no rule ever reads another rule's cache.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/per_thread.h"
#include "memory_manager/memory_manager.h"

namespace zorvik {

enum TokenType : int32_t {
    TOKEN_OPERATOR = 0,
    TOKEN_NUMBER = 1,
    TOKEN_STRING = 2,
    TOKEN_NAME = 3,
    TOKEN_RESERVED = 4,
    TOKEN_EOF = 5,
};

enum OperatorCode : int32_t {
    OP_DEEP_ASSIGN = 1000,
    OP_INCREMENT = 1001,
    OP_DECREMENT = 1002,
    OP_ADD_ASSIGN = 1003,
    OP_SUB_ASSIGN = 1004,
    OP_MUL_ASSIGN = 1005,
    OP_DIV_ASSIGN = 1006,
    OP_LE = 1009,
    OP_GE = 1010,
    OP_NE = 1011,
};

enum ReservedCode : int32_t {
    RW_IF,
    RW_ELSE,
    RW_WHILE,
    RW_DO,
    RW_FOR,
    RW_BREAK,
    RW_RETURN,
    RW_UNREF,
    RW_DELETE,
    RW_EXTERN,
    RW_AND,
    RW_OR,
    RW_NOT,
    RW_TOSTRING,
    RW_TONUMBER,
    RW_DEFINED,
    RW_ISNUMBER,
    RW_ISSTRING,
    RW_ISFUNCTION,
    RW_SIZEOF,
    RW_LENGTH,
    RW_REF,
    RW_FUNCTION,
    RW_IMPORT,
    RW_EXIT,
    RW_CALL,
    RW_DEBUG,
    RW_COUNT
};

extern const char* const kReservedWords[RW_COUNT];

// Order matters: the two predicates below take runs of the codes above.
static_assert(RW_IF == 0 && RW_ELSE == 1 && RW_WHILE == 2 && RW_DO == 3 && RW_FOR == 4,
              "if, else, while, do, for come first");
static_assert(RW_TOSTRING + 7 == RW_LENGTH && RW_SIZEOF + 1 == RW_LENGTH,
              "the built-in value operators tostring ... length are one run");

// A statement that runs a block of its own (if, while, do, for): a break
// that ends it leaves that block's rest to skip. An else is part of its if.
constexpr bool RunsOwnBlock(int32_t code) { return code <= RW_FOR && code != RW_ELSE; }

// A built-in value operator: tostring, tonumber, defined, isnumber,
// isstring, isfunction, sizeof, length.
constexpr bool IsBuiltInOperator(int32_t code) { return code >= RW_TOSTRING && code <= RW_LENGTH; }

// The extent of the name that starts at a NAME token, found the first time
// something asks (a NAME token that continues a name is asked only when
// code lands on it). Records are shared: every name with the same text
// (or, with indexes, the same first part and length) has the same one.
struct NameInfo {
    const char* head;       // the first part's token text
    int32_t span;           // the number of tokens of the whole name
    bool plain;             // no bracketed index: the text below is the whole name
    std::string_view text;  // dotted text of a plain name, NUL-terminated
    // The components of a plain name, pointing into `text`, each hashed.
    std::span<const KeyPart> parts;
};

// 24 bytes: a script holds millions. What only some tokens learn while the
// script runs is kept beside the array (TokenFact), not in every token.
struct Token {
    uint32_t line = 0;
    uint32_t column = 0;
    uint8_t type = TOKEN_EOF;
    // Condition '(': 1 comparison, 2 nested condition (0 = not yet known).
    uint8_t condClass = 0;
    int16_t code = 0;  // TOKEN_OPERATOR, TOKEN_RESERVED
    union {
        // For '(', '[' and '{': index of the closing token of the same kind
        // that balances it within the file, or 0 when none does. Filled once
        // per file, so that nested constructs never rescan their contents.
        int32_t match = 0;
        // TOKEN_NAME: 1 + the index of its extent in sNameRecords, or 0
        // until it is first asked for (NameAt).
        uint32_t nameRecord;
    };
    union {
        double number = 0;  // TOKEN_NUMBER
        const char* text;   // TOKEN_STRING, TOKEN_NAME: pooled, NUL-terminated
    };
};
static_assert(sizeof(Token) == 24, "tokens stay small");

// The name records that tokens refer to by nameRecord.
extern thread_local constinit ThreadArray<const NameInfo*> sNameRecords;
// The record of the name at NAME token `first`, found and kept on the first call.
const NameInfo& FindNameInfo(int32_t first);

// Facts that rules learn about single tokens, each rule its own kind, kept in
// a table beside the token array: 0 until a rule stores something else.
enum class Fact : uint8_t {
    kJump,        // block skip: index of the token after the '}'
    kSearchJump,  // forward search: index of the token after the found one
    kSkipJump,    // short-circuit: index of the token after the ')'
    kFunction,    // function literal: built record index + 1
    // The compiled code cached by its first token (compiled_*.cpp).
    kExpression,
    kCondition,
    kTarget,
    kTerm,
    kStatement,
    kHead,
    kBlock,
    kSum,
    kDo,
    kFactor,
};
uint64_t TokenFact(int32_t token, Fact fact);
void SetTokenFact(int32_t token, Fact fact, uint64_t value);
// Compiled records are facts too: the table keeps their addresses as values.
template <class T>
T* TokenFactPointer(int32_t token, Fact fact) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): an address the table was given, handed back
    return reinterpret_cast<T*>(static_cast<uintptr_t>(TokenFact(token, fact)));
}
template <class T>
void SetTokenFactPointer(int32_t token, Fact fact, const T* value) {
    SetTokenFact(token, fact, reinterpret_cast<uintptr_t>(value));
}

// The fast paths compile code only when the walker meets it a second time,
// so code that runs once (most of a generated script) costs no compiled
// records. True the first time it is asked for a token and a kind.
enum class Visit : uint8_t { kStatement = 1, kExpression = 2, kCondition = 4, kSum = 8 };
bool FirstVisit(int32_t token, Visit kind);
// Forgets all facts and visits (with the tokens, ClearTokens).
void ClearTokenFacts();

extern thread_local constinit ThreadArray<Token> sTokens;

// Appends the file's tokens; reports lexical errors through TokenizerError,
// and a file that cannot be read as "Could not open".
void Tokenize(const char* path);
// The same for script text held in memory; `name` stands for the file in reports.
void TokenizeText(const char* name, std::string source);
// As Tokenize, but returns false, appending nothing, for a file that cannot
// be read (missing, unreadable, a directory); `name` stands for the file in
// reports.
bool TryTokenize(const char* path, const char* name);
// Whether text ends inside a string, a comment or brackets opened in it
// (more opening brackets than closing ones), so that more lines may finish
// it. Text with any other lexical fault is not open: tokenizing reports it.
bool TextIsOpen(const std::string& text);
void ClearTokens();
// Index of the end-of-file token of the file that token i belongs to.
int32_t FileEnd(int32_t i);
inline int32_t TokenCount() { return static_cast<int32_t>(sTokens.size()); }

}  // namespace zorvik
