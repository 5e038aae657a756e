#include "interpreter/compiled_statements.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "common/assert.h"
#include "common/per_thread.h"
#include "interpreter/assignments.h"
#include "interpreter/compiled_calls.h"
#include "interpreter/compiled_expressions.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/runner.h"
#include "interpreter/statements.h"
#include "values/values.h"

namespace zorvik {

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
    const CompiledTree* value = nullptr;  // null for kUpdate and with a sum
    // kAssign and kCompound to a plain name: a value with calls (see compiled_calls.h).
    const CompiledSum* sum = nullptr;
    int32_t semicolon = 0;  // index of the closing ';'
    int32_t depth = 0;      // depth guards the walker would hold
};

// Records compiled once per token and kept until the tokens are cleared.
// The token's fact of the cache's kind is null until tried, then the record
// or the mark that none can be made there. Trivially destructible and
// constant-initialised: a per-thread cache is read with no TLS guard (every
// statement asks one); its records go with Clear or the thread's end.
template <class T, Fact kFact>
class TokenCache {
  public:
    using Compile = bool (*)(T& record, int32_t first);

    constexpr TokenCache() = default;

    const T* At(int32_t first, Compile compile) {
        if (const T* slot = TokenFactPointer<T>(first, kFact)) return slot == &kNone ? nullptr : slot;
        auto record = std::make_unique<T>();
        // Compiling may fill the facts of other tokens.
        const T* made = compile(*record, first) ? record.get() : nullptr;
        // Kept before anything points to it: storing the fact may run out of memory.
        if (made) records_.push_back(std::move(record));
        SetTokenFactPointer(first, kFact, made ? made : &kNone);
        return made;
    }
    void Clear() { records_.Clear(); }

  private:
    static inline const T kNone{};  // the mark: never read, only compared
    ThreadVector<std::unique_ptr<T>> records_;
};

thread_local constinit TokenCache<Statement, Fact::kStatement> sStatements;

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
    if (!s.value) {
        // The walker composes the target's key once, before the calls run;
        // a plain name is found again as that key would be.
        if (!IsPlainName(*s.target) || !(s.sum = CompiledSumAt(op + 1))) return false;
        s.semicolon = SumEnd(*s.sum);
        return IsOp(s.semicolon, ';');
    }
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

void Assign(const Statement& s) {
    ElementRef target = CreateTarget(*s.target);
    EvaluateTree(*s.value);
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

void Compound(const Statement& s) {
    ElementRef target = CreateTarget(*s.target);
    Cell* cell = target.Value();
    int32_t op = CompoundOperator(s.op);
    if (!LeftMayCombine(op, cell->type)) throw CompiledGiveUp{};
    bool text = cell->type == VAR_STRING;
    EvaluateTree(*s.value);
    if (text) {
        if (sRegister.type != VAR_STRING) GiveUpWithRegister();
        Var_AppendString(MM_ElementVar(target), sRegister.value.string, Var_StringLength(&sRegister));
        Var_Free(&sRegister);
        return;
    }
    if (sRegister.type != VAR_NUMBER) GiveUpWithRegister();
    double& x = target.Value()->value.number;
    x = Arithmetic(op, x, sRegister.value.number);
}

void Update(const Statement& s) {
    Cell* target = CreateTarget(*s.target).Value();
    if (target->type != VAR_NUMBER) throw CompiledGiveUp{};
    target->value.number = Stepped(target->value.number, s.op);
}

// Where the walker leaves the cursor after a statement: the lookahead read
// from token `next`, right after the position of token `prev` was recorded.
struct Place {
    int32_t prev, next;
};

void PlaceCursor(Place place) { zorvik::PlaceCursor(place.prev, place.next); }

// As EndStatement leaves it after the ';'.
Place After(const Statement& s) { return {s.semicolon, s.semicolon + 1}; }

// An assignment or compound assignment whose value is a sum, as the walker
// runs it: the target made (and for a compound checked), the sum, the
// target found again when a variable was freed since, the store. It gives
// up only before the sum's first call; after that every error is the
// walker's, at the cursor the sum leaves behind its last item.
[[gnu::noinline]] bool RunWithSum(const Statement& s) {
    Var* target;
    try {
        target = MM_ElementVar(CreateTarget(*s.target));  // a plain name: never an element
    } catch (const CompiledGiveUp&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    bool compound = s.form == Form::kCompound;
    if (compound && target->type != VAR_NUMBER && !(target->type == VAR_STRING && s.op == OP_ADD_ASSIGN))
        return false;  // the walker's error
    uint64_t epoch = sVarEpoch;
    if (!RunSum(*s.sum)) return false;
    if (epoch != sVarEpoch) target = MM_ElementVar(CreateTarget(*s.target));
    if (compound)
        CompoundStore(target, s.op);
    else
        StoreRegister(target);
    if (SumStoppedShort(*s.sum)) EndStatement();  // the walker's error, after its store
    return true;
}

// Runs a compiled statement without moving the cursor; false when it gave
// up and the walker must run it.
bool Run(const Statement& s) {
    if (s.sum) [[unlikely]]
        return RunWithSum(s);
    try {
        switch (s.form) {
            case Form::kAssign: Assign(s); break;
            case Form::kCompound: Compound(s); break;
            case Form::kUpdate: Update(s); break;
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

thread_local constinit TokenCache<Head, Fact::kHead> sHeads;

const Head* HeadAt(int32_t open) { return sHeads.At(open, CompileHead); }

using Block = CompiledBlock;

// `if (condition) { block }`, optionally followed by `else { block }`.
struct Branch {
    const CompiledTree* condition = nullptr;
    int32_t brace = 0;  // the first block's '{'
    const Block* then = nullptr;
    const Block* otherwise = nullptr;      // null without else
    int32_t thenClose = 0, elseClose = 0;  // the blocks' '}'

    // Where If() leaves the cursor, which depends on the branch taken: a
    // block skipped leaves the position of its first token recorded.
    Place After(bool taken) const {
        if (!otherwise) return taken ? Place{thenClose, thenClose + 1} : Place{brace + 1, thenClose + 1};
        return taken ? Place{thenClose + 3, elseClose + 1} : Place{elseClose, elseClose + 1};
    }
};

// `while (condition) { block }`
struct WhileLoop {
    const Head* head = nullptr;
    const Block* body = nullptr;
};

// `for (name = start, end) { block }`, or with `, step` after the end, over
// a loop variable named without indexes.
struct ForLoop {
    const CompiledTree* var = nullptr;
    const CompiledTree* start = nullptr;
    const CompiledTree* end = nullptr;
    const CompiledTree* step = nullptr;  // null: 1
    int32_t brace = 0;
    const Block* body = nullptr;
};

// `do { block } while (condition);`, cached by the block's '{'.
struct DoLoop {
    const CompiledBlock* body = nullptr;
    int32_t brace = 0;
    const CompiledTree* condition = nullptr;
    int32_t semicolon = 0;  // the statement's ';'
    int32_t depth = 0;      // as for a block item: the condition's, or the block's and its own
};

// `return;`, `return name;` (a plain name), `return value;` (a pure
// expression) or `return sum;` (see compiled_calls.h).
struct Return {
    const CompiledTree* name = nullptr;
    const CompiledTree* value = nullptr;
    const CompiledSum* sum = nullptr;
    int32_t semicolon = 0;
};

// `__CALL "name";`, its word at token `word`. The entry is looked up when
// it first runs and kept: entries stay while the run lasts.
struct NativeStatement {
    const char* name;  // the token's text
    int32_t word;
    mutable const NativeEntry* entry = nullptr;
};

// One item of a block: a simple statement, a branch, a loop, a return, a
// call statement or a native call.
struct Item {
    enum class Kind : uint8_t {
        kStatement,
        kBranch,
        kWhile,
        kDo,
        kFor,
        kReturn,
        kCall,
        kNative
    } kind = Kind::kStatement;
    const Statement* statement = nullptr;
    const DoLoop* doLoop = nullptr;
    const CompiledSum* call = nullptr;  // a call statement (IsCallStatement)
    std::unique_ptr<NativeStatement> native;
    std::unique_ptr<Branch> branch;
    std::unique_ptr<WhileLoop> whileLoop;
    std::unique_ptr<ForLoop> forLoop;
    std::unique_ptr<Return> ret;
};

}  // namespace

// A block made only of items, with the depth the deepest needs (counted
// from inside the block) and the index of its '}'.
struct CompiledBlock {
    std::vector<Item> items;
    int32_t depth = 0;
    int32_t close = 0;
};

namespace {

thread_local constinit TokenCache<Block, Fact::kBlock> sBlocks;

const Block* BlockAt(int32_t brace);

bool IsWord(int32_t i, int32_t code) { return At(i).type == TOKEN_RESERVED && At(i).code == code; }

// The branch whose `if` is at token `word`, or null; `depth` as for a block.
std::unique_ptr<Branch> CompileBranch(int32_t word, int32_t& depth) {
    if (!IsWord(word, RW_IF)) return nullptr;
    const Head* head = HeadAt(word + 1);
    if (!head) return nullptr;
    auto b = std::make_unique<Branch>();
    b->condition = head->condition;
    b->brace = head->brace;
    b->then = BlockAt(b->brace);
    if (!b->then) return nullptr;
    b->thenClose = b->then->close;
    depth = std::max(TreeDepth(*b->condition), 1 + b->then->depth);
    if (IsWord(b->thenClose + 1, RW_ELSE)) {
        b->otherwise = BlockAt(b->thenClose + 2);
        if (!b->otherwise) return nullptr;  // also `else if`
        b->elseClose = b->otherwise->close;
        depth = std::max(depth, 1 + b->otherwise->depth);
    }
    return b;
}

std::unique_ptr<WhileLoop> CompileWhile(int32_t word, int32_t& depth) {
    if (!IsWord(word, RW_WHILE)) return nullptr;
    auto w = std::make_unique<WhileLoop>();
    w->head = HeadAt(word + 1);
    if (!w->head || !(w->body = BlockAt(w->head->brace))) return nullptr;
    depth = std::max(TreeDepth(*w->head->condition), 1 + w->body->depth);
    return w;
}

bool CompileDo(DoLoop& d, int32_t brace) {
    d.brace = brace;
    d.body = BlockAt(brace);
    if (!d.body) return false;
    int32_t close = d.body->close;
    if (!IsWord(close + 1, RW_WHILE) || !IsOp(close + 2, '(')) return false;
    d.condition = CompiledConditionAt(close + 3);
    if (!d.condition) return false;
    d.semicolon = TreeEnd(*d.condition) + 1;
    d.depth = std::max(TreeDepth(*d.condition), 1 + d.body->depth);
    return IsOp(d.semicolon - 1, ')') && IsOp(d.semicolon, ';');
}

thread_local constinit TokenCache<DoLoop, Fact::kDo> sDoLoops;

const DoLoop* DoAt(int32_t brace) { return sDoLoops.At(brace, CompileDo); }

std::unique_ptr<ForLoop> CompileFor(int32_t word, int32_t& depth) {
    if (!IsWord(word, RW_FOR) || !IsOp(word + 1, '(') || At(word + 2).type != TOKEN_NAME) return nullptr;
    auto f = std::make_unique<ForLoop>();
    // Only a plain name: after a pass the walker looks the variable up again
    // by the key it composed at the start.
    f->var = CompiledTargetAt(word + 2);
    if (!f->var || !IsPlainName(*f->var) || !IsOp(TreeEnd(*f->var), '=')) return nullptr;
    f->start = CompiledExpressionAt(TreeEnd(*f->var) + 1);
    if (!f->start || !IsOp(TreeEnd(*f->start), ',')) return nullptr;
    f->end = CompiledExpressionAt(TreeEnd(*f->start) + 1);
    if (!f->end) return nullptr;
    int32_t after = TreeEnd(*f->end);
    depth = std::max({TreeDepth(*f->var), TreeDepth(*f->start), TreeDepth(*f->end)});
    if (IsOp(after, ',')) {
        f->step = CompiledExpressionAt(after + 1);
        if (!f->step) return nullptr;
        after = TreeEnd(*f->step);
        depth = std::max(depth, TreeDepth(*f->step));
    }
    f->brace = after + 1;
    if (!IsOp(after, ')') || !(f->body = BlockAt(f->brace))) return nullptr;
    depth = std::max(depth, 1 + f->body->depth);
    return f;
}

// The call statement `name(a, b);` at token `first`, or null.
const CompiledSum* CallStatementAt(int32_t first) {
    if (At(first).type != TOKEN_NAME) return nullptr;
    const CompiledSum* sum = CompiledSumAt(first);
    return sum && IsCallStatement(*sum) ? sum : nullptr;
}

// The return statement whose word is at token `word`, or null; `depth` as
// for a block.
std::unique_ptr<Return> CompileReturn(int32_t word, int32_t& depth) {
    if (!IsWord(word, RW_RETURN)) return nullptr;
    auto r = std::make_unique<Return>();
    int32_t first = word + 1;
    if (IsOp(first, ';')) {
        r->semicolon = first;
        return r;
    }
    if (At(first).type == TOKEN_NAME && IsOp(first + NameAt(first).span, ';')) {
        // The walker reads a name before ';' as a variable, not as a value.
        if (!NameAt(first).plain || !(r->name = CompiledTargetAt(first)) || !IsPlainName(*r->name)) return nullptr;
        r->semicolon = first + NameAt(first).span;
        return r;
    }
    if ((r->value = CompiledExpressionAt(first))) {
        depth = TreeDepth(*r->value);
        r->semicolon = TreeEnd(*r->value);
    } else if ((r->sum = CompiledSumAt(first))) {
        r->semicolon = SumEnd(*r->sum);  // it checks its depth as it runs
    } else {
        return nullptr;
    }
    return IsOp(r->semicolon, ';') ? std::move(r) : nullptr;
}

// The native call statement whose word is at token `word`, or null.
std::unique_ptr<NativeStatement> CompileNative(int32_t word) {
    if (!IsWord(word, RW_CALL) || At(word + 1).type != TOKEN_STRING || !IsOp(word + 2, ';')) return nullptr;
    return std::make_unique<NativeStatement>(NativeStatement{At(word + 1).text, word});
}

// The block whose '{' is at `brace`, when it holds one or more items and
// nothing else. Blocks nested deeper than kMaxNesting inside the one being
// compiled are left to the walker (so is the block holding them).
bool CompileBlock(Block& block, int32_t brace) {
    constexpr int32_t kMaxNesting = 32;
    thread_local constinit int32_t nesting = 0;
    if (!IsOp(brace, '{') || nesting >= kMaxNesting) return false;
    struct Nested {
        Nested() { ++nesting; }
        ~Nested() { --nesting; }
    } nested;
    int32_t at = brace + 1;
    while (!IsOp(at, '}')) {
        Item item;
        int32_t depth = 0;
        if ((item.branch = CompileBranch(at, depth))) {
            item.kind = Item::Kind::kBranch;
            at = item.branch->After(true).next;
        } else if ((item.whileLoop = CompileWhile(at, depth))) {
            item.kind = Item::Kind::kWhile;
            at = item.whileLoop->body->close + 1;
        } else if (IsWord(at, RW_DO) && (item.doLoop = DoAt(at + 1))) {
            item.kind = Item::Kind::kDo;
            depth = item.doLoop->depth;
            at = item.doLoop->semicolon + 1;
        } else if ((item.forLoop = CompileFor(at, depth))) {
            item.kind = Item::Kind::kFor;
            at = item.forLoop->body->close + 1;
        } else if ((item.ret = CompileReturn(at, depth))) {
            item.kind = Item::Kind::kReturn;
            at = item.ret->semicolon + 1;
        } else if ((item.statement = StatementAt(at))) {
            depth = item.statement->depth;
            at = item.statement->semicolon + 1;
        } else if ((item.call = CallStatementAt(at))) {
            item.kind = Item::Kind::kCall;  // it checks its depth as it runs
            at = SumEnd(*item.call) + 1;
        } else if ((item.native = CompileNative(at))) {
            item.kind = Item::Kind::kNative;
            at = item.native->word + 3;
        } else {
            return false;
        }
        block.items.push_back(std::move(item));
        block.depth = std::max(block.depth, depth);
    }
    block.close = at;
    return !block.items.empty();
}

const Block* BlockAt(int32_t brace) { return sBlocks.At(brace, CompileBlock); }

// What ExecuteBlock holds while a block's items run.
struct BlockLevel {
    DepthGuard guard;
    BlockLevel() { ++sBlock; }
    ~BlockLevel() { --sBlock; }
    BlockLevel(const BlockLevel&) = delete;
    BlockLevel& operator=(const BlockLevel&) = delete;
};

// What a loop statement holds while it runs.
struct LoopLevel {
    LoopLevel() { ++sLoopScope; }
    ~LoopLevel() { --sLoopScope; }
    LoopLevel(const LoopLevel&) = delete;
    LoopLevel& operator=(const LoopLevel&) = delete;
};

// How an item or a nested block ended.
enum class Outcome : uint8_t {
    kGaveUp,    // changed nothing that matters: the walker runs it
    kDone,      // ran; `place` is where it leaves the cursor
    kWalked,    // a nested block finished by the walker, the cursor on its '}'
    kReturned,  // a return ran, and the cursor is left where it was
};

// What RunItems gives when an item returned.
constexpr size_t kReturned = SIZE_MAX;
size_t RunItems(const Block& block, Place& place);
int32_t FinishByWalker(Place place);

// Runs a block nested in compiled code to its '}' or to a return: its items
// compiled, and from one that gives up on, the rest by the walker. Never
// gives up itself: its items are simple statements, branches, loops,
// returns and calls, which hold no break. kDone leaves `place` where the last item
// left the cursor.
Outcome RunNested(const Block& block, int32_t brace, Place& place) {
    place = {brace, brace + 1};
    size_t ran = RunItems(block, place);
    if (ran == block.items.size()) return Outcome::kDone;
    if (ran == kReturned) return Outcome::kReturned;
    int32_t code = FinishByWalker(place);
    ZK_ASSERT(code == kNormal || code == kReturn);
    return code == kReturn ? Outcome::kReturned : Outcome::kWalked;
}

Outcome RunBranch(const Branch& b, Place& place) {
    bool taken;
    try {
        taken = TestTree(*b.condition);
    } catch (const CompiledGiveUp&) {
        return Outcome::kGaveUp;
    } catch (const std::bad_alloc&) {
        return Outcome::kGaveUp;
    }
    Place inner;
    Outcome nested = Outcome::kDone;
    if (taken)
        nested = RunNested(*b.then, b.brace, inner);
    else if (b.otherwise)
        nested = RunNested(*b.otherwise, b.thenClose + 2, inner);
    if (nested == Outcome::kReturned) return nested;
    place = b.After(taken);
    return Outcome::kDone;
}

// A while that gives up on its condition, also after passes, is run again
// by the walker from its head: a while keeps no state of its own.
Outcome RunWhile(const WhileLoop& w, Place& place) {
    LoopLevel loop;
    while (true) {
        bool holds;
        try {
            holds = TestTree(*w.head->condition);
        } catch (const CompiledGiveUp&) {
            return Outcome::kGaveUp;
        } catch (const std::bad_alloc&) {
            return Outcome::kGaveUp;
        }
        if (!holds) {
            place = {w.head->brace + 1, w.body->close + 1};  // as Expect('{') and SkipBlock() leave it
            return Outcome::kDone;
        }
        Place inner;
        if (RunNested(*w.body, w.head->brace, inner) == Outcome::kReturned) return Outcome::kReturned;
    }
}

// The passes of a do loop, to the end of the loop (kDone, `place` behind
// its ';') or to a return. It never gives up: after a block, compiled or
// finished by the walker, a condition that gives up (or would be too deep)
// is read by the walker from the block's '}', errors and all, and the
// passes go on compiled. The block holds no break (no item is one).
Outcome RunDoPasses(const DoLoop& d, Place& place) {
    bool treeFits = sDepth + TreeDepth(*d.condition) <= sMaxDepth;
    while (true) {
        Place inner;
        Outcome nested = RunNested(*d.body, d.brace, inner);
        if (nested == Outcome::kReturned) return nested;
        bool again = false;
        bool tested = false;
        if (treeFits) {
            try {
                again = TestTree(*d.condition);
                tested = true;
            } catch (const CompiledGiveUp&) {
            } catch (const std::bad_alloc&) {}
        }
        if (!tested) {
            if (nested == Outcome::kDone) PlaceCursor(inner);  // as ExecuteBlock leaves it, on the '}'
            again = DoCondition();
        }
        if (!again) {
            place = {d.semicolon, d.semicolon + 1};  // as EndStatement leaves it
            return Outcome::kDone;
        }
    }
}

Outcome RunDo(const DoLoop& d, Place& place) {
    LoopLevel loop;
    return RunDoPasses(d, place);
}

// The value of a numeric expression of a for head, or a give-up.
double NumberOf(const CompiledTree& tree) {
    EvaluateTree(tree);
    if (sRegister.type != VAR_NUMBER) GiveUpWithRegister();
    double value = sRegister.value.number;
    Var_Free(&sRegister);
    return value;
}

// A counting for gives up only in its head, with the loop variable as it
// found it; once its passes begin it runs to its end.
Outcome RunFor(const ForLoop& f, Place& place) {
    LoopLevel loop;
    Var* var;
    double end, step = 1;
    try {
        ElementRef target = CreateTarget(*f.var);  // a plain name: never an element
        double start = NumberOf(*f.start);
        var = MM_ElementVar(target);
        // The head's later expressions may give up after the variable was
        // set: its old value is put back, so a string (which it would free)
        // is left to the walker from the start.
        if (var->type == VAR_STRING) return Outcome::kGaveUp;
        Cell old = *var;
        Var_SetNumber(var, start);
        try {
            end = NumberOf(*f.end);
            if (f.step) step = NumberOf(*f.step);
        } catch (...) {
            static_cast<Cell&>(*var) = old;
            throw;
        }
    } catch (const CompiledGiveUp&) {
        return Outcome::kGaveUp;
    } catch (const std::bad_alloc&) {
        Var_Free(&sRegister);
        return Outcome::kGaveUp;
    }
    double value = var->value.number;
    // A NaN anywhere leaves no direction: the body runs once, as with step 0.
    step = LoopStep(step);
    step = value < end ? std::fabs(step) : value > end ? -std::fabs(step) : 0;
    CountingLoop pass{var, 0, step, end};
    while (true) {
        pass.epoch = sVarEpoch;
        Place inner;
        Outcome nested = RunNested(*f.body, f.brace, inner);
        if (nested == Outcome::kReturned) return nested;
        bool walked = nested == Outcome::kWalked;
        if (pass.epoch != sVarEpoch) pass.var = FindTarget(*f.var);  // the walker's key.Get()
        if (!pass.var || pass.var->type != VAR_NUMBER) {
            if (!walked) PlaceCursor(inner);
            Expect('}');
            Error("Expected numeric expression");
        }
        pass.var->value.number += pass.step;
        if (pass.Finished()) {
            place = {f.body->close, f.body->close + 1};  // as Expect('}') leaves it
            return Outcome::kDone;
        }
    }
}

// Runs a return as the walker's Return() does; false, having changed
// nothing, when the walker must run it. The cursor is left where it is
// (see compiled_statements.h).
bool RunReturn(const Return& r) {
    if (sScope <= 0) return false;  // the walker's error
    if (r.name) {
        ReturnVariable(FindTarget(*r.name));
    } else if (r.value) {
        try {
            EvaluateTree(*r.value);
        } catch (const CompiledGiveUp&) {
            return false;
        } catch (const std::bad_alloc&) {
            return false;
        }
        StoreRegister(MM_CreateResult());
    } else if (r.sum) {
        if (!RunSum(*r.sum)) return false;
        StoreRegister(MM_CreateResult());
        if (SumStoppedShort(*r.sum)) EndStatement();  // the walker's error, after its store
    } else {
        Var_Free(MM_CreateResult());
    }
    return true;
}

// Runs a native call as NativeCall does, from the same cursor: its errors
// are reported at the string, as the walker's are. Gives up, having done
// nothing, when no native has the name (the walker reports it).
bool RunNativeStatement(const NativeStatement& n, Place& place) {
    if (!n.entry && !(n.entry = FindNative(n.name))) return false;
    zorvik::PlaceCursor(n.word, n.word + 1);
    RunNative(*n.entry, n.name);
    place = {n.word + 2, n.word + 3};  // as EndStatement leaves it
    return true;
}

// Runs a loop, a return, a call or a native call with the cursor left alone;
// kGaveUp, having changed nothing that matters, when the walker must run
// it. On kDone, `place` is where it leaves the cursor. Out of line: the
// loop over the items stays small for simple statements and branches.
[[gnu::noinline]] Outcome RunCompound(const Item& item, Place& place) {
    switch (item.kind) {
        case Item::Kind::kWhile: return RunWhile(*item.whileLoop, place);
        case Item::Kind::kDo: return RunDo(*item.doLoop, place);
        case Item::Kind::kFor: return RunFor(*item.forLoop, place);
        case Item::Kind::kReturn: return RunReturn(*item.ret) ? Outcome::kReturned : Outcome::kGaveUp;
        case Item::Kind::kCall:
            if (!RunCallStatement(*item.call)) return Outcome::kGaveUp;
            place = {SumEnd(*item.call), SumEnd(*item.call) + 1};  // as EndStatement leaves it
            return Outcome::kDone;
        case Item::Kind::kNative: return RunNativeStatement(*item.native, place) ? Outcome::kDone : Outcome::kGaveUp;
        default: return Outcome::kGaveUp;
    }
}

// Runs the block's items with the cursor left alone: the index of the item
// that gave up, the number of items when all ran, or kReturned when one
// returned. `place` is where the last of them leaves the cursor; it comes
// in as where the cursor is before the first item. On an interrupt request
// the next item gives up, and the walker stops at its statement. (A block's
// items never change once it is compiled, so they are walked by pointer.)
size_t RunItems(const Block& block, Place& place) {
    BlockLevel level;
    const Item* const first = block.items.data();
    const Item* const end = first + block.items.size();
    for (const Item* item = first; item != end; ++item) {
        if (InterruptPending()) [[unlikely]]
            return static_cast<size_t>(item - first);
        if (const Statement* s = item->statement) {  // the kind kStatement
            if (!Run(*s)) return static_cast<size_t>(item - first);
            place = After(*s);
            continue;
        }
        Outcome outcome =
            item->kind == Item::Kind::kBranch ? RunBranch(*item->branch, place) : RunCompound(*item, place);
        if (outcome == Outcome::kGaveUp) return static_cast<size_t>(item - first);
        if (outcome == Outcome::kReturned) return kReturned;
    }
    return block.items.size();
}

// Hands the rest of the block, from the item that gave up (the cursor goes
// to `place`), to the walker, which runs it as if it had run the block from
// the start.
int32_t FinishByWalker(Place place) {
    PlaceCursor(place);
    return ExecuteBlock();
}

// Whether a pass of RunItems that ran `ran` items of `block` ended before
// the block's '}': with a return (`code` kReturn, the cursor where the
// return left it), or with an item that gave up, the rest then finished by
// the walker (`code` its completion).
inline bool EndedEarly(const Block& block, size_t ran, const Place& place, int32_t& code) {
    if (ran == kReturned) {
        code = kReturn;
        return true;
    }
    if (ran == block.items.size()) return false;
    code = FinishByWalker(place);
    return true;
}

// Runs `block`, from `place` (where the cursor is before its first item), to
// its '}' or to where EndedEarly stops it. True when it reached the '}'
// compiled: then `code` is kNormal and the lookahead is on the '}', as
// ExecuteBlock returns.
bool RunToClose(const Block& block, Place place, int32_t& code) {
    size_t ran = RunItems(block, place);
    if (EndedEarly(block, ran, place, code)) return false;
    code = kNormal;
    PlaceCursor(place);
    return true;
}

}  // namespace

bool RunCompiledHead(int32_t open, bool& holds) {
    if (!CompilerEnabled()) return false;
    const Head* head = HeadAt(open);
    if (!head || sDepth + TreeDepth(*head->condition) > sMaxDepth) return false;
    try {
        holds = TestTree(*head->condition);
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
    int32_t first = LookaheadIndex();
    if (FirstVisit(first, Visit::kStatement)) return false;
    if (const Statement* s = StatementAt(first)) {
        if (sDepth + s->depth > sMaxDepth || !Run(*s)) return false;
        PlaceCursor(After(*s));
        return true;
    }
    const CompiledSum* call = CallStatementAt(first);
    if (!call || !RunCallStatement(*call)) return false;
    PlaceCursor(SumEnd(*call), SumEnd(*call) + 1);
    return true;
}

bool RunCompiledBlock(int32_t brace, int32_t& code) {
    const Block* block = CompiledBlockAt(brace);
    if (!block || sDepth + 1 + block->depth > sMaxDepth) return false;
    RunToClose(*block, {brace, brace + 1}, code);
    return true;
}

const CompiledBlock* CompiledBlockAt(int32_t brace) { return CompilerEnabled() ? BlockAt(brace) : nullptr; }

bool RunCompiledBody(const CompiledBlock& block, int32_t brace, int32_t before, int32_t& code) {
    if (sDepth + 1 + block.depth > sMaxDepth) return false;
    RunToClose(block, {before, brace + 1}, code);  // as if the token at `before` was read last
    return true;
}

LoopExit RunCompiledWhile(int32_t open, int32_t& code) {
    if (!CompilerEnabled()) return LoopExit::kNotRun;
    const Head* head = HeadAt(open);
    const Block* block = head ? BlockAt(head->brace) : nullptr;
    if (!block || sDepth + TreeDepth(*head->condition) > sMaxDepth || sDepth + 1 + block->depth > sMaxDepth)
        return LoopExit::kNotRun;
    while (true) {
        bool holds;
        try {
            holds = TestTree(*head->condition);
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
        Place place{head->brace, head->brace + 1};
        size_t ran = RunItems(*block, place);
        if (EndedEarly(*block, ran, place, code)) return LoopExit::kBody;
    }
}

LoopExit RunCompiledDo(int32_t brace, int32_t& code) {
    if (!CompilerEnabled()) return LoopExit::kNotRun;
    const DoLoop* d = DoAt(brace);
    if (!d || sDepth + 1 + d->body->depth > sMaxDepth) return LoopExit::kNotRun;
    Place place;
    if (RunDoPasses(*d, place) == Outcome::kReturned) {
        code = kReturn;
        return LoopExit::kBody;
    }
    PlaceCursor(place);
    return LoopExit::kDone;
}

LoopExit RunCompiledFor(int32_t brace, CountingLoop& loop, int32_t& code) {
    if (!CompilerEnabled()) return LoopExit::kNotRun;
    const Block* block = BlockAt(brace);
    if (!block || sDepth + 1 + block->depth > sMaxDepth) return LoopExit::kNotRun;
    while (true) {
        loop.epoch = sVarEpoch;
        Place place{brace, brace + 1};
        size_t ran = RunItems(*block, place);
        if (EndedEarly(*block, ran, place, code)) return LoopExit::kBody;
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
    sDoLoops.Clear();
}

}  // namespace zorvik
