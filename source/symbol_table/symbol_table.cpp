#include "symbol_table/symbol_table.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/assert.h"

namespace zorvik {

namespace {

thread_local constinit SymbolTable* sCurrentTable = nullptr;

TrieNode* NewNode(char ch) {
    ++sCurrentTable->refc;
    return new TrieNode{nullptr, nullptr, ch, nullptr};
}

void FreeNode(TrieNode* node) {
    --sCurrentTable->refc;
    delete node;
}

bool IsEmptyKey(const char* key) { return !key || !*key; }

// The link (root, child or sibling field) that points at the chain node
// carrying ch, or at the null link that ends the chain when none does.
TrieNode** ChainLink(TrieNode** link, char ch) {
    while (*link && (*link)->ch != ch) link = &(*link)->sibling;
    return link;
}

// Walks the key from the chain at *link, appending whatever nodes are
// missing, and returns the node of the key's last character.
TrieNode* ST_AddRec(TrieNode** link, const char* key) {
    for (;; ++key) {
        TrieNode** found = ChainLink(link, *key);
        if (!*found) *found = NewNode(*key);
        if (!key[1]) return *found;
        link = &(*found)->child;
    }
}

TrieNode* ST_FindNodeRec(TrieNode* node, const char* key) {
    for (;; ++key) {
        while (node && node->ch != *key) node = node->sibling;
        if (!node || !key[1]) return node;
        node = node->child;
    }
}

// Sibling chain and child subtree go before the node itself, so the release
// callback sees the deepest, last-inserted data first.
void ST_ClearRec(TrieNode* node) {
    if (!node) return;
    ST_ClearRec(node->sibling);
    ST_ClearRec(node->child);
    if (sCurrentTable->release && node->data) sCurrentTable->release(node->data);
    FreeNode(node);
}

// Pruning happens on the way back out, so it stops by itself at the first
// node that still carries data or a child.
void ST_DeleteKeyRec(TrieNode** link, const char* key, bool subKeys) {
    TrieNode** found = ChainLink(link, *key);
    TrieNode* node = *found;
    if (!node) return;
    if (key[1]) {
        ST_DeleteKeyRec(&node->child, key + 1, subKeys);
    } else {
        if (sCurrentTable->release && node->data) sCurrentTable->release(node->data);
        node->data = nullptr;
        if (subKeys) {
            ST_ClearRec(node->child);
            node->child = nullptr;
        }
    }
    if (!node->data && !node->child) {
        *found = node->sibling;
        FreeNode(node);
    }
}

// Pre-order in chain order, so that re-inserting the suffixes rebuilds the
// same sibling order.
void ST_DuplicateRec(const TrieNode* node, std::string& suffix, std::vector<std::pair<std::string, void*>>& out) {
    for (; node; node = node->sibling) {
        suffix.push_back(node->ch);
        if (node->data) out.emplace_back(suffix, node->data);
        ST_DuplicateRec(node->child, suffix, out);
        suffix.pop_back();
    }
}

}  // namespace

SymbolTable* ST_Init(ST_ReleaseFunc release, ST_DuplicateFunc duplicate) {
    return new SymbolTable{nullptr, release, duplicate, 0};
}

void ST_Free(SymbolTable* st) {
    if (!st) return;
    if (st->root) ST_Clear(st);
    delete st;
}

int ST_AddData(SymbolTable* st, const char* key, void* data) {
    if (!st || IsEmptyKey(key) || !data) return 0;
    sCurrentTable = st;
    TrieNode* node = ST_AddRec(&st->root, key);
    if (node->data) return 0;
    node->data = data;
    return 1;
}

TrieNode* ST_FindNode(const SymbolTable* st, const char* key) {
    if (!st || IsEmptyKey(key)) return nullptr;
    return ST_FindNodeRec(st->root, key);
}

void* ST_GetData(const SymbolTable* st, const char* key) {
    TrieNode* node = ST_FindNode(st, key);
    return node ? node->data : nullptr;
}

void ST_Clear(SymbolTable* st) {
    if (!st) return;
    sCurrentTable = st;
    ST_ClearRec(st->root);
    st->root = nullptr;
    ZK_ASSERT(st->refc == 0);
}

void ST_DeleteKey(SymbolTable* st, const char* key) {
    if (!st || IsEmptyKey(key)) return;
    sCurrentTable = st;
    ST_DeleteKeyRec(&st->root, key, false);
}

void ST_DeleteKeyAndSubKeys(SymbolTable* st, const char* key) {
    if (!st || IsEmptyKey(key)) return;
    sCurrentTable = st;
    ST_DeleteKeyRec(&st->root, key, true);
}

void ST_DeleteSubKeys(SymbolTable* st, const char* key) {
    TrieNode* node = ST_FindNode(st, key);
    if (!node) return;
    sCurrentTable = st;
    ST_ClearRec(node->child);
    node->child = nullptr;
}

void ST_DuplicateKeyAndChildren(SymbolTable* st, const char* newKey, const char* existingKey) {
    if (IsEmptyKey(newKey)) return;
    const TrieNode* source = ST_FindNode(st, existingKey);
    if (!source) return;
    // Collect before inserting: the new key may lie inside the source subtree,
    // and inserting while walking would then copy the copies.
    std::vector<std::pair<std::string, void*>> items;
    if (source->data) items.emplace_back("", source->data);
    std::string suffix;
    ST_DuplicateRec(source->child, suffix, items);
    sCurrentTable = st;
    for (auto& [rest, data] : items) {
        TrieNode* target = ST_AddRec(&st->root, (newKey + rest).c_str());
        if (!target->data) target->data = st->duplicate ? st->duplicate(data) : data;
    }
}

void ST_Print(const SymbolTable* st) {
    if (st) ST_PrintNode(st->root, 0);
}

void ST_PrintNode(const TrieNode* node, int indent) {
    for (; node; node = node->sibling) {
        for (int i = 0; i < indent; ++i) std::putchar(' ');
        std::putchar(static_cast<unsigned char>(node->ch));
        std::fputs(node->data ? "*\n" : "\n", stdout);
        ST_PrintNode(node->child, indent + 1);
    }
}

}  // namespace zorvik
