// Character trie from non-empty NUL-terminated string keys to untyped data.
//
// Invariants:
//  - A key of n characters is a path of n nodes: the first in the top-level
//    chain (root and its siblings), each next one in the child chain of the
//    previous. Keys with a common prefix share the prefix's nodes.
//  - Within a chain each character appears once, and siblings stand in the
//    order in which their characters were first inserted.
//  - A key is present exactly when the node of its last character exists and
//    holds non-null data; null data therefore cannot be stored.
//  - refc equals the number of nodes reachable from root. Every mutating
//    operation names its trie in sCurrentTable, through which node allocation
//    and release keep refc in step.
//  - The trie owns its nodes; data is released through the release callback
//    (when set) whenever its key is removed or the trie cleared.
//  - Characters are plain bytes: values from 128 to 255 are ordinary.
#pragma once

#include <cstdint>

namespace zorvik {

struct TrieNode {
    TrieNode* sibling;
    TrieNode* child;
    char ch;
    void* data;
};

using ST_ReleaseFunc = void (*)(void* data);
using ST_DuplicateFunc = void* (*)(void* data);

struct SymbolTable {
    TrieNode* root;
    ST_ReleaseFunc release;
    ST_DuplicateFunc duplicate;
    int32_t refc;
};

SymbolTable* ST_Init(ST_ReleaseFunc release, ST_DuplicateFunc duplicate);
// Frees the record; a trie that still holds nodes is cleared first.
void ST_Free(SymbolTable* st);

// 1 when stored; 0 when the key already holds data (the first data stays), or
// when the key is null or empty or the data is null.
int ST_AddData(SymbolTable* st, const char* key, void* data);
void* ST_GetData(const SymbolTable* st, const char* key);
// The node of the key's last character, which may carry no data.
TrieNode* ST_FindNode(const SymbolTable* st, const char* key);

void ST_Clear(SymbolTable* st);
void ST_DeleteKey(SymbolTable* st, const char* key);
void ST_DeleteKeyAndSubKeys(SymbolTable* st, const char* key);
// Removes the longer keys that begin with key; key itself and its path stay.
void ST_DeleteSubKeys(SymbolTable* st, const char* key);
// Stores copies (by the duplicate callback; without one the pointers are
// shared) of existingKey's data and of every longer key's data under newKey
// with the same continuations. Keys under newKey that already hold data keep
// it, and no copy is made for them.
void ST_DuplicateKeyAndChildren(SymbolTable* st, const char* newKey, const char* existingKey);

// One line per node: indentation by depth, the character, '*' where a key ends.
void ST_Print(const SymbolTable* st);
void ST_PrintNode(const TrieNode* node, int indent);

}  // namespace zorvik
