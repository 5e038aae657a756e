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

namespace zorvik {

extern thread_local constinit int32_t sToken;  // index of the next token to read
extern thread_local constinit int32_t sNextType;
extern thread_local constinit int32_t sNextChar;
extern thread_local constinit int32_t sNextReserved;
extern thread_local constinit double sNextNumber;
extern thread_local constinit const char* sNextString;

// The lookup key of a composed name, as a value that stays valid when the
// cursor moves on. A plain name (no bracketed index) keeps its scope and
// refers to the hashed parts cached in its first token, which live until the
// token array is cleared at the end of the run; a name with indexes carries
// its composed path. Neither may outlive the run.
class NameKey {
  public:
    // The dotted path, scope prefix included ("3.a.b").
    const std::string& Path() const;
    Var* Get() const;     // MM_GetVar
    Var* Create() const;  // MM_CreateVar
    Var* Bind() const;    // MM_BindVar

  private:
    friend class NameKeyBuilder;
    const NameInfo* plain_ = nullptr;
    int64_t scope_ = 0;  // prefix of a plain name; 0 for none
    mutable std::string path_;
};

void GetNext(bool global = false);
// The key of the lookahead name, composing it (and evaluating its indexes)
// on the first call.
NameKey NextKey();
// Index of the first token after the lookahead name (without composing it).
int32_t NextNameEnd();
// Index of the lookahead's first token.
int32_t LookaheadIndex();
// True when the lookahead is not a name, or a name read in the scoped form
// in the current scope.
bool LookaheadInCurrentScope();
// The extent and, for a plain name, the parts of the name starting at token i.
const NameInfo& NameAt(int32_t first);

// The cursor as it stands, to come back to after other code ran (a call
// that a native makes): the lookahead read again, in the form it was read,
// in the scope running then, and the position recorded last.
class CursorMark {
  public:
    CursorMark();
    void Restore() const;

  private:
    int32_t lookahead_;
    bool name_, global_;
    int32_t lastLine_, lastCol_, prevLine_, prevCol_;
};

void Expect(int32_t c);
// Leaves the cursor as the walker leaves it after reading up to token `prev`
// (whose position is the one recorded last) and then token `next` as the
// lookahead. The fast paths place the cursor only through here.
void PlaceCursor(int32_t prev, int32_t next);
// As Expect('{') leaves it with the '{' at token `brace` as the lookahead:
// on the first token of the block.
inline void EnterBlockAt(int32_t brace) { PlaceCursor(brace, brace + 1); }
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

}  // namespace zorvik
