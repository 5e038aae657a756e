#include "interpreter/compiled_statements.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "interpreter/assignments.h"
#include "interpreter/compiled_expressions.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/runner.h"
#include "interpreter/statements.h"

namespace {

enum class Form : uint8_t {
    kAssign,    // target = value;
    kCompound,  // target op= value;
    kUpdate,    // target++; target--; ++target; --target;
};

struct Statement {
    Form form = Form::kAssign;
    int32_t op = 0;  // kCompound: OP_*_ASSIGN; kUpdate: OP_INCREMENT or OP_DECREMENT
    const CompiledTree* target = nullptr;
    const CompiledTree* value = nullptr;  // null for kUpdate
    int32_t semicolon = 0;                // index of the closing ';'
    int32_t depth = 0;                    // depth guards the walker would hold
};

// Records compiled once per token and kept until the tokens are cleared.
// The slot of a token is null until tried, then the record or the mark that
// none can be made there.
template <class T>
class TokenCache {
  public:
    using Compile = bool (*)(T& record, int32_t first);

    const T* At(int32_t first, Compile compile) {
        if (static_cast<size_t>(first) >= slots_.size()) slots_.resize(sTokens.size(), nullptr);
        if (const T* slot = slots_[static_cast<size_t>(first)]) return slot == &none_ ? nullptr : slot;
        auto record = std::make_unique<T>();
        // Compiling may fill (and resize) the slots of other tokens.
        const T* made = compile(*record, first) ? record.get() : nullptr;
        slots_[static_cast<size_t>(first)] = made ? made : &none_;
        if (made) records_.push_back(std::move(record));
        return made;
    }
    void Clear() {
        records_.clear();
        slots_.clear();
    }

  private:
    std::vector<std::unique_ptr<T>> records_;
    std::vector<const T*> slots_;
    T none_;
};

TokenCache<Statement> sStatements;

const Token& At(int32_t i) { return sTokens[static_cast<size_t>(i)]; }
bool IsOp(int32_t i, int32_t c) { return At(i).type == TOKEN_OPERATOR && At(i).code == c; }
bool IsCompoundOp(int32_t c) {
    return c == OP_ADD_ASSIGN || c == OP_SUB_ASSIGN || c == OP_MUL_ASSIGN || c == OP_DIV_ASSIGN;
}

// Fills in the target of `s` from the name at `first`; false when it is
// not a name, or its indexes are not pure.
bool CompileTarget(Statement& s, int32_t first) {
    if (At(first).type != TOKEN_NAME) return false;
    s.target = CompiledTargetAt(first);
    if (!s.target) return false;
    s.depth = TreeDepth(*s.target);
    return true;
}

// The simple statement starting at token `first`, or false.
bool Compile(Statement& s, int32_t first) {
    if (IsOp(first, OP_INCREMENT) || IsOp(first, OP_DECREMENT)) {
        s.form = Form::kUpdate;
        s.op = At(first).code;
        if (!CompileTarget(s, first + 1)) return false;
        s.semicolon = TreeEnd(*s.target);
        return IsOp(s.semicolon, ';');
    }
    if (!CompileTarget(s, first)) return false;
    int32_t op = TreeEnd(*s.target);
    if (IsOp(op, OP_INCREMENT) || IsOp(op, OP_DECREMENT)) {
        s.form = Form::kUpdate;
        s.op = At(op).code;
        s.semicolon = op + 1;
        return IsOp(s.semicolon, ';');
    }
    if (IsOp(op, '='))
        s.form = Form::kAssign;
    else if (At(op).type == TOKEN_OPERATOR && IsCompoundOp(At(op).code))
        s.form = Form::kCompound;
    else
        return false;
    s.op = At(op).code;
    s.value = CompiledExpressionAt(op + 1);
    if (!s.value) return false;
    if (TreeDepth(*s.value) > s.depth) s.depth = TreeDepth(*s.value);
    s.semicolon = TreeEnd(*s.value);
    return IsOp(s.semicolon, ';');
}

const Statement* StatementAt(int32_t first) { return sStatements.At(first, Compile); }

// Gives up after the value was evaluated: the walker evaluates it again.
[[noreturn]] void GiveUpWithRegister() {
    Var_Free(&sRegister);
    throw CompiledGiveUp{};
}

// An inline array element holds only undefined and number values; any other
// value needs the element's Var.
bool FitsInline(const Var& value) { return value.type == VAR_UNDEFINED || value.type == VAR_NUMBER; }

void Assign(const Statement& s, uint64_t stamp) {
    ElementRef target = CreateTarget(*s.target, stamp);
    EvaluateTree(*s.value, stamp);
    // The target is taken again: the evaluation may have given the element a Var.
    Cell* cell = target.Value();
    if (cell->type == VAR_UNDEFINED || cell->type == VAR_NUMBER) {
        if (FitsInline(sRegister)) {
            static_cast<Cell&>(*cell) = static_cast<const Cell&>(sRegister);
            sRegister.type = VAR_UNDEFINED;
            return;
        }
    }
    StoreRegister(MM_ElementVar(target));
}

void Compound(const Statement& s, uint64_t stamp) {
    ElementRef target = CreateTarget(*s.target, stamp);
    Cell* cell = target.Value();
    bool text = cell->type == VAR_STRING && s.op == OP_ADD_ASSIGN;
    if (cell->type != VAR_NUMBER && !text) throw CompiledGiveUp{};
    EvaluateTree(*s.value, stamp);
    if (text) {
        if (sRegister.type != VAR_STRING) GiveUpWithRegister();
        Var_AppendString(MM_ElementVar(target), sRegister.value.string, Var_StringLength(&sRegister));
        Var_Free(&sRegister);
        return;
    }
    if (sRegister.type != VAR_NUMBER) GiveUpWithRegister();
    double r = sRegister.value.number;
    double& x = target.Value()->value.number;
    switch (s.op) {
        case OP_ADD_ASSIGN: x += r; break;
        case OP_SUB_ASSIGN: x -= r; break;
        case OP_MUL_ASSIGN: x *= r; break;
        default: x /= r; break;
    }
}

void Update(const Statement& s, uint64_t stamp) {
    Cell* target = CreateTarget(*s.target, stamp).Value();
    if (target->type != VAR_NUMBER) throw CompiledGiveUp{};
    target->value.number += s.op == OP_INCREMENT ? 1 : -1;
}

// Where the walker leaves the cursor after a statement: the lookahead read
// from token `next`, right after the position of token `prev` was recorded.
struct Place {
    int32_t prev, next;
};

void PlaceCursor(Place place) { ::PlaceCursor(place.prev, place.next); }

// As EndStatement leaves it after the ';'.
Place After(const Statement& s) { return {s.semicolon, s.semicolon + 1}; }

// Runs a compiled statement without moving the cursor; false when it gave
// up and the walker must run it.
bool Run(const Statement& s, uint64_t stamp) {
    try {
        switch (s.form) {
            case Form::kAssign: Assign(s, stamp); break;
            case Form::kCompound: Compound(s, stamp); break;
            case Form::kUpdate: Update(s, stamp); break;
        }
    } catch (const CompiledGiveUp&) {
        return false;
    } catch (const std::bad_alloc&) {
        Var_Free(&sRegister);
        return false;  // the walker repeats the work and reports where it runs out
    }
    return true;
}

// The head of an if or a while: the condition and the index of the '{'.
struct Head {
    const CompiledTree* condition = nullptr;
    int32_t brace = 0;
};

bool CompileHead(Head& head, int32_t open) {
    if (IsOp(open, '(')) head.condition = CompiledConditionAt(open + 1);
    if (!head.condition) return false;
    head.brace = TreeEnd(*head.condition) + 1;
    return IsOp(head.brace - 1, ')') && IsOp(head.brace, '{');
}

TokenCache<Head> sHeads;

const Head* HeadAt(int32_t open) { return sHeads.At(open, CompileHead); }

// `if (condition) { statement; }`, optionally followed by
// `else { statement; }`, each block holding one simple statement.
struct Branch {
    const CompiledTree* condition = nullptr;
    int32_t brace = 0;  // the first block's '{'
    const Statement* then = nullptr;
    const Statement* otherwise = nullptr;  // null without else
    int32_t thenClose = 0, elseClose = 0;  // the blocks' '}'
    int32_t depth = 0;

    // Where If() leaves the cursor, which depends on the branch taken: a
    // block skipped leaves the position of its first token recorded.
    Place After(bool taken) const {
        if (!otherwise) return taken ? Place{thenClose, thenClose + 1} : Place{brace + 1, thenClose + 1};
        return taken ? Place{thenClose + 3, elseClose + 1} : Place{elseClose, elseClose + 1};
    }
};

// One item of a block: a simple statement or a branch.
struct Item {
    const Statement* statement = nullptr;
    std::unique_ptr<Branch> branch;
};

// A block made only of items, with the depth the deepest needs (counted
// from inside the block).
struct Block {
    std::vector<Item> items;
    int32_t depth = 0;
};

// The block `{ statement; }` whose '{' is at `brace`: its statement, or null.
const Statement* SingleStatement(int32_t brace, int32_t& close) {
    if (!IsOp(brace, '{')) return nullptr;
    const Statement* s = StatementAt(brace + 1);
    if (!s || !IsOp(s->semicolon + 1, '}')) return nullptr;
    close = s->semicolon + 1;
    return s;
}

// The branch whose `if` is at token `word`, or null.
std::unique_ptr<Branch> CompileBranch(int32_t word) {
    if (At(word).type != TOKEN_RESERVED || At(word).code != RW_IF) return nullptr;
    const Head* head = HeadAt(word + 1);
    if (!head) return nullptr;
    auto b = std::make_unique<Branch>();
    b->condition = head->condition;
    b->brace = head->brace;
    b->then = SingleStatement(b->brace, b->thenClose);
    if (!b->then) return nullptr;
    b->depth = std::max(TreeDepth(*b->condition), 1 + b->then->depth);
    const Token& next = At(b->thenClose + 1);
    if (next.type == TOKEN_RESERVED && next.code == RW_ELSE) {
        b->otherwise = SingleStatement(b->thenClose + 2, b->elseClose);
        if (!b->otherwise) return nullptr;
        b->depth = std::max(b->depth, 1 + b->otherwise->depth);
    }
    return b;
}

// The block whose '{' is at `brace`, when it holds one or more items and
// nothing else.
bool CompileBlock(Block& block, int32_t brace) {
    int32_t at = brace + 1;
    while (!IsOp(at, '}')) {
        Item item;
        int32_t depth;
        if ((item.branch = CompileBranch(at))) {
            depth = item.branch->depth;
            at = item.branch->After(true).next;
        } else if ((item.statement = StatementAt(at))) {
            depth = item.statement->depth;
            at = item.statement->semicolon + 1;
        } else {
            return false;
        }
        block.items.push_back(std::move(item));
        block.depth = std::max(block.depth, depth);
    }
    return !block.items.empty();
}

TokenCache<Block> sBlocks;

const Block* BlockAt(int32_t brace) { return sBlocks.At(brace, CompileBlock); }

// Runs one item with the cursor left alone; false, having changed nothing
// that matters, when it gave up. `place` becomes where it leaves the cursor.
// A branch that gives up is run again whole by the walker: its condition is
// pure, and its statement had at most created its target.
bool RunItem(const Item& item, uint64_t stamp, Place& place) {
    if (const Statement* s = item.statement) {
        if (!Run(*s, stamp)) return false;
        place = After(*s);
        return true;
    }
    const Branch& b = *item.branch;
    bool taken;
    try {
        taken = TestTree(*b.condition, stamp);
    } catch (const CompiledGiveUp&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    const Statement* s = taken ? b.then : b.otherwise;
    if (s && !Run(*s, stamp)) return false;
    place = b.After(taken);
    return true;
}

// Runs the block's items with the cursor left alone; the number that ran,
// all of them unless one gave up, and where the last of them leaves the
// cursor (after the '{' when none ran).
size_t RunItems(const Block& block, int32_t brace, uint64_t stamp, Place& place) {
    place = {brace, brace + 1};
    size_t done = 0;
    DepthGuard guard;  // the one ExecuteBlock holds while the items run
    while (done < block.items.size() && RunItem(block.items[done], stamp, place)) ++done;
    return done;
}

// Hands the rest of the block, from the item that gave up (the cursor goes
// to `place`), to the walker, which runs it as if it had run the block from
// the start.
int32_t FinishByWalker(Place place) {
    PlaceCursor(place);
    return ExecuteBlock();
}

}  // namespace

bool RunCompiledHead(int32_t open, bool& holds, uint64_t stamp) {
    if (!CompilerEnabled()) return false;
    const Head* head = HeadAt(open);
    if (!head || sDepth + TreeDepth(*head->condition) > sMaxDepth) return false;
    try {
        holds = TestTree(*head->condition, stamp);
    } catch (const CompiledGiveUp&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    SeekToken(head->brace);
    GetNext();
    return true;
}

bool RunCompiledStatement() {
    if (!CompilerEnabled() || !LookaheadInCurrentScope()) return false;
    const Statement* s = StatementAt(LookaheadIndex());
    if (!s || sDepth + s->depth > sMaxDepth || !Run(*s, 0)) return false;
    PlaceCursor(After(*s));
    return true;
}

bool RunCompiledBlock(int32_t brace, int32_t& code, uint64_t stamp, bool* whole) {
    if (whole) *whole = false;
    if (!CompilerEnabled()) return false;
    const Block* block = BlockAt(brace);
    if (!block || sDepth + 1 + block->depth > sMaxDepth) return false;
    Place place;
    if (RunItems(*block, brace, stamp, place) < block->items.size()) {
        code = FinishByWalker(place);
        return true;
    }
    PlaceCursor(place);  // the lookahead on the '}', as ExecuteBlock returns
    code = kNormal;
    if (whole) *whole = true;
    return true;
}

LoopExit RunCompiledWhile(int32_t open, uint64_t stamp, int32_t& code) {
    if (!CompilerEnabled()) return LoopExit::kNotRun;
    const Head* head = HeadAt(open);
    const Block* block = head ? BlockAt(head->brace) : nullptr;
    if (!block || sDepth + TreeDepth(*head->condition) > sMaxDepth || sDepth + 1 + block->depth > sMaxDepth)
        return LoopExit::kNotRun;
    while (true) {
        bool holds;
        try {
            holds = TestTree(*head->condition, stamp);
        } catch (const CompiledGiveUp&) {
            return LoopExit::kNotRun;  // the walker reads the head again, from its '('
        } catch (const std::bad_alloc&) {
            return LoopExit::kNotRun;
        }
        if (!holds) {
            // As Condition() leaves it, then Expect('{') and SkipBlock().
            SeekToken(head->brace);
            GetNext();
            Expect('{');
            SkipBlock();
            return LoopExit::kDone;
        }
        Place place;
        if (RunItems(*block, head->brace, stamp, place) < block->items.size()) {
            code = FinishByWalker(place);
            return LoopExit::kBody;
        }
    }
}

LoopExit RunCompiledFor(int32_t brace, CountingLoop& loop, uint64_t stamp, int32_t& code) {
    if (!CompilerEnabled()) return LoopExit::kNotRun;
    const Block* block = BlockAt(brace);
    if (!block || sDepth + 1 + block->depth > sMaxDepth) return LoopExit::kNotRun;
    while (true) {
        loop.epoch = sVarEpoch;
        Place place;
        if (RunItems(*block, brace, stamp, place) < block->items.size()) {
            code = FinishByWalker(place);
            return LoopExit::kBody;
        }
        if (loop.epoch != sVarEpoch || loop.var->type != VAR_NUMBER) {
            // The walker looks the variable up again (or reports it).
            PlaceCursor(place);
            code = kNormal;
            return LoopExit::kBody;
        }
        loop.var->value.number += loop.step;
        if (loop.Finished()) {
            PlaceCursor(place);
            Expect('}');
            return LoopExit::kDone;
        }
    }
}

void ClearCompiledStatements() {
    sStatements.Clear();
    sHeads.Clear();
    sBlocks.Clear();
}
