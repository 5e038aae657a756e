// The token cursor: one token of lookahead over the token array.
//
// A name and its '.' and '[...]' parts form one lookahead item. Reading it
// only finds its extent (cached in its first token); the lookup key, with
// the scope prefix and the bracketed indexes evaluated, is composed when a
// parser first asks for it (NextKey). Code that merely passes
// over a name (block skips, short-circuits, the token after a loop) never
// evaluates its indexes. A parser must take the key before it advances.
#pragma once

#include <cstdint>
#include <string>

#include "interpreter/tokens.h"

extern int32_t sToken;  // index of the next token to read
extern int32_t sNextType;
extern int32_t sNextChar;
extern int32_t sNextReserved;
extern double sNextNumber;
extern const char* sNextString;

void GetNext(bool global = false);
const std::string& NextKey();
// Index of the first token after the lookahead name (without composing it).
int32_t NextNameEnd();

void Expect(int32_t c);
void EndStatement();
void SkipBlock();
void ResetCursor();

inline bool NextIsOp(int32_t c) { return sNextType == TOKEN_OPERATOR && sNextChar == c; }
inline bool NextIsReserved(int32_t code) { return sNextType == TOKEN_RESERVED && sNextReserved == code; }
inline bool TokenIsOp(int32_t i, int32_t c) {
    return sTokens[static_cast<size_t>(i)].type == TOKEN_OPERATOR && sTokens[static_cast<size_t>(i)].code == c;
}
// Places the cursor so that the next token read is the one at index i.
inline void SeekToken(int32_t i) { sToken = i; }
