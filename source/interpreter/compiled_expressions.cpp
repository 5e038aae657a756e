#include "interpreter/compiled_expressions.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/assert.h"
#include "common/per_thread.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/runner.h"
#include "values/values.h"

namespace zorvik {

namespace {

// ---------------------------------------------------------------- trees

enum class Kind : uint8_t {
    kNumber,   // constant
    kString,   // constant
    kName,     // a plain name read
    kIndexed,  // a name with bracketed indexes read
    kPlus,     // unary +
    kMinus,    // unary -
    kAdd,      // + on numbers, or on strings
    kSub,
    kMul,
    kDiv,
    kInspect,  // defined, sizeof, isnumber, isstring or isfunction (op) of a name
    // Conditions (flag results)
    kTruth,    // truthiness of an expression
    kCompare,  // relational operator between two expressions
    kNot,
    kChain,  // and/or chain, left to right with short-circuit
};

// + - * / for kAdd ... kDiv.
constexpr int32_t OperatorOf(Kind kind) {
    switch (kind) {
        case Kind::kAdd: return '+';
        case Kind::kSub: return '-';
        case Kind::kMul: return '*';
        default: return '/';
    }
}

// One piece of an indexed name: a fixed component, or an index expression.
struct NamePiece {
    const char* text = nullptr;  // fixed component (token text), or null for an index
    uint32_t length = 0;
    uint32_t hash = 0;
    int32_t index = -1;  // node of the index expression
};

// An and/or chain: its operands and the word before each but the first.
struct Chain {
    std::vector<int32_t> kids;
    std::vector<bool> isAnd;  // the word before operand i + 1
};

// An indexed name: its pieces, the number of fixed pieces before the first
// index, and those pieces as key parts.
struct IndexedName {
    std::vector<NamePiece> pieces;
    size_t prefix = 0;
    std::vector<KeyPart> prefixParts;
};

// 40 bytes: what varies in length (chains, indexed names) is kept by the tree.
struct Node {
    Kind kind = Kind::kNumber;
    // Whether a string constant lies among the operands (not in an index).
    bool hasText = false;
    // An arithmetic operator over no string constant: likely a number, so
    // the evaluation tries Number() first.
    bool arithmetic = false;
    int16_t op = 0;              // kCompare: operator code; kInspect: the word
    uint16_t length = 0;         // kString: its length
    int32_t kids[2] = {-1, -1};  // operands (node indexes)
    union {
        double number = 0;           // kNumber
        const char* text;            // kString: token text
        const NameInfo* name;        // kName
        Chain* chain;                // kChain
        const IndexedName* indexed;  // kIndexed
    };
    // kName, and the fixed prefix of kIndexed: the variable last found, valid
    // while sNameEpoch is still `epoch` (which it never is before the first
    // find); a name not found is never remembered.
    mutable uint64_t epoch = 0;
    mutable Var* found = nullptr;
};
static_assert(sizeof(Node) == 40, "nodes stay small");

}  // namespace

struct CompiledTree {
    std::vector<Node> nodes;
    // The chains and indexed names that nodes point to.
    struct Parts {
        std::vector<std::unique_ptr<Chain>> chains;
        std::vector<std::unique_ptr<IndexedName>> indexed;
    };
    std::unique_ptr<Parts> parts;
    int32_t root = 0;
    int32_t end = 0;       // first token after the expression
    int32_t lastItem = 0;  // token whose position the walker records last before `end`
    int32_t depth = 0;     // depth guards the walker holds at its deepest point
};

namespace {

thread_local constinit ThreadVector<std::unique_ptr<CompiledTree>> sUnits;  // no TLS guard on UnitAt
// Per token and mode (a Fact): null when not tried yet, kNotCompilable, or
// the unit.
CompiledTree sNotCompilableMark;
CompiledTree* const kNotCompilable = &sNotCompilableMark;

// ---------------------------------------------------------------- compiler

const Token& At(int32_t i) { return sTokens[static_cast<size_t>(i)]; }
bool IsOp(int32_t i, int32_t c) { return At(i).type == TOKEN_OPERATOR && At(i).code == c; }
bool IsWord(int32_t i, int32_t code) { return At(i).type == TOKEN_RESERVED && At(i).code == code; }
bool IsRelOp(int32_t i) { return At(i).type == TOKEN_OPERATOR && IsComparison(At(i).code); }

// What a unit is compiled as; each has a cache of its own.
enum class Mode { kExpression, kCondition, kTarget, kTerm, kFactor };

struct NotPure {};  // thrown while compiling: the walker keeps the tokens

// Parses the walker's grammar over the tokens, without evaluating anything.
// `at` is the next token to read; `last` the token of the item read last.
class Compiler {
  public:
    // An expression, condition or term whose compiling was left by NotPure.
    struct Start {
        int32_t token;
        Mode mode;
    };

    explicit Compiler(CompiledTree& unit) : u_(unit) { failed_.reserve(kMaxStarts); }

    // Every expression, condition and term that was being compiled when
    // NotPure was thrown: each contains what stopped the compiler (or lies
    // too deep inside the first start), so none of them is tried again.
    // Nested starts would otherwise each repeat the work: the walker asks
    // for the expression and for the first term at every level it enters,
    // and deep nesting would cost a compile of kMaxNesting levels per level.
    const std::vector<Start>& Failed() const { return failed_; }

    int32_t Expression(int32_t& at, int32_t depth) {
        Open open(*this, at, Mode::kExpression);
        Deeper(depth + 1);
        int32_t left = Term(at, depth + 1);
        while (IsOp(at, '+') || IsOp(at, '-')) {
            Kind kind = IsOp(at, '+') ? Kind::kAdd : Kind::kSub;
            Item(at++);
            int32_t right = Term(at, depth + 1);
            left = Add(kind, left, right);
        }
        return left;
    }

    int32_t Condition(int32_t& at, int32_t depth) {  // BoolExpression
        Open open(*this, at, Mode::kCondition);
        Deeper(depth + 1);
        int32_t first = Single(at, depth + 1);
        if (!IsWord(at, RW_AND) && !IsWord(at, RW_OR)) return first;
        int32_t chain = Add(Kind::kChain, first);
        Chain& c = *Parts().chains.emplace_back(std::make_unique<Chain>());
        u_.nodes[static_cast<size_t>(chain)].chain = &c;
        c.kids.push_back(first);
        while (IsWord(at, RW_AND) || IsWord(at, RW_OR)) {
            bool isAnd = IsWord(at, RW_AND);
            Item(at++);
            int32_t next = Single(at, depth + 1);
            c.kids.push_back(next);
            c.isAnd.push_back(isAnd);
        }
        // A short-circuit lands on the ')' that closes the group; anything
        // else there is an error the walker reports.
        if (!IsOp(at, ')')) throw NotPure{};
        return chain;
    }

    // A name as the target of a store: only its bracketed indexes are read.
    int32_t Target(int32_t& at) { return Name(at, 0, true); }

    // One term of an expression (read inside the expression's depth guard).
    int32_t ExpressionTerm(int32_t& at) { return Term(at, 1); }
    int32_t TermFactor(int32_t& at) {
        Open open(*this, at, Mode::kFactor);
        return Signed(at, 1);
    }

    void Item(int32_t token) { u_.lastItem = token; }

  private:
    static constexpr int32_t kMaxNesting = 200;  // very deep nesting stays with the walker
    // Each level of depth opens at most an expression and a term.
    static constexpr size_t kMaxStarts = 2 * kMaxNesting + 8;

    // Records its start in failed_ when NotPure unwinds through it.
    class Open {
      public:
        Open(Compiler& c, int32_t token, Mode mode)
            : c_(c), start_{token, mode}, unwinding_(std::uncaught_exceptions()) {}
        ~Open() {
            // The capacity was reserved: recording never allocates while unwinding.
            if (std::uncaught_exceptions() > unwinding_ && c_.failed_.size() < c_.failed_.capacity())
                c_.failed_.push_back(start_);
        }
        Open(const Open&) = delete;
        Open& operator=(const Open&) = delete;

      private:
        Compiler& c_;
        Start start_;
        int unwinding_;
    };

    CompiledTree& u_;
    std::vector<Start> failed_;

    void Deeper(int32_t depth) {
        if (depth > u_.depth) u_.depth = depth;
        if (depth > kMaxNesting) throw NotPure{};
    }

    CompiledTree::Parts& Parts() {
        if (!u_.parts) u_.parts = std::make_unique<CompiledTree::Parts>();
        return *u_.parts;
    }

    // A node with up to two operands.
    int32_t Add(Kind kind, int32_t left = -1, int32_t right = -1) {
        bool text = kind == Kind::kString;
        for (int32_t kid : {left, right})
            if (kid >= 0) text = text || u_.nodes[static_cast<size_t>(kid)].hasText;
        u_.nodes.emplace_back();
        Node& node = u_.nodes.back();
        node.kind = kind;
        node.kids[0] = left;
        node.kids[1] = right;
        node.hasText = text;
        node.arithmetic = !text && (kind == Kind::kAdd || kind == Kind::kSub || kind == Kind::kMul ||
                                    kind == Kind::kDiv || kind == Kind::kMinus || kind == Kind::kPlus);
        return static_cast<int32_t>(u_.nodes.size() - 1);
    }

    int32_t Single(int32_t& at, int32_t depth) {  // SingleBool
        Deeper(depth + 1);
        if (IsWord(at, RW_NOT)) {
            Item(at++);
            return Add(Kind::kNot, Condition(at, depth + 1));
        }
        if (IsOp(at, '(')) {
            int32_t close = At(at).match;
            if (close == 0) throw NotPure{};
            if (!IsRelOp(close + 1)) {  // a nested condition
                Item(at++);
                int32_t inner = Condition(at, depth + 1);
                if (!IsOp(at, ')')) throw NotPure{};
                Item(at++);
                return inner;
            }
        }
        // BoolTerm
        int32_t left = Expression(at, depth + 1);
        if (!IsRelOp(at)) return Add(Kind::kTruth, left);
        int32_t op = At(at).code;
        Item(at++);
        int32_t right = Expression(at, depth + 1);
        int32_t node = Add(Kind::kCompare, left, right);
        u_.nodes[static_cast<size_t>(node)].op = static_cast<int16_t>(op);
        return node;
    }

    int32_t Term(int32_t& at, int32_t depth) {
        Open open(*this, at, Mode::kTerm);
        int32_t left = Signed(at, depth);
        while (IsOp(at, '*') || IsOp(at, '/')) {
            Kind kind = IsOp(at, '*') ? Kind::kMul : Kind::kDiv;
            Item(at++);
            int32_t right = Signed(at, depth);
            left = Add(kind, left, right);
        }
        return left;
    }

    int32_t Signed(int32_t& at, int32_t depth) {
        if (IsOp(at, '+') || IsOp(at, '-')) {
            Kind kind = IsOp(at, '+') ? Kind::kPlus : Kind::kMinus;
            Item(at++);
            return Add(kind, Factor(at, depth));
        }
        return Factor(at, depth);
    }

    int32_t Factor(int32_t& at, int32_t depth) {
        const Token& t = At(at);
        switch (t.type) {
            case TOKEN_NUMBER: {
                Item(at++);
                int32_t node = Add(Kind::kNumber);
                u_.nodes[static_cast<size_t>(node)].number = t.number;
                return node;
            }
            case TOKEN_STRING: {
                Item(at++);
                int32_t node = Add(Kind::kString);
                u_.nodes[static_cast<size_t>(node)].text = t.text;
                u_.nodes[static_cast<size_t>(node)].length = static_cast<uint16_t>(std::strlen(t.text));
                return node;
            }
            case TOKEN_NAME: return Name(at, depth, false);
            case TOKEN_OPERATOR:
                if (t.code == '(') {
                    Item(at++);
                    int32_t inner = Expression(at, depth);
                    if (!IsOp(at, ')')) throw NotPure{};
                    Item(at++);
                    return inner;
                }
                throw NotPure{};
            case TOKEN_RESERVED: return Inspect(at, depth);
            default: throw NotPure{};  // function literals, errors
        }
    }

    // defined(name), sizeof(name) and the type tests: a name read, not an
    // expression. The other built-ins and function literals are the walker's.
    int32_t Inspect(int32_t& at, int32_t depth) {
        int32_t code = At(at).code;
        if (code != RW_DEFINED && code != RW_SIZEOF && code != RW_ISNUMBER && code != RW_ISSTRING &&
            code != RW_ISFUNCTION)
            throw NotPure{};
        Item(at++);
        if (!IsOp(at, '(')) throw NotPure{};
        Item(at++);
        if (At(at).type != TOKEN_NAME) throw NotPure{};
        int32_t node = Add(Kind::kInspect, Name(at, depth, false));
        u_.nodes[static_cast<size_t>(node)].op = static_cast<int16_t>(code);
        if (!IsOp(at, ')')) throw NotPure{};
        Item(at++);
        return node;
    }

    int32_t Name(int32_t& at, int32_t depth, bool target = false) {
        int32_t first = at;
        const NameInfo& info = NameAt(first);
        int32_t end = first + info.span;
        // A call or an update is not a read.
        if (!target && (IsOp(end, '(') || IsOp(end, OP_INCREMENT) || IsOp(end, OP_DECREMENT))) throw NotPure{};
        int32_t node;
        if (info.plain) {
            node = Add(Kind::kName);
            u_.nodes[static_cast<size_t>(node)].name = &info;
        } else {
            node = Add(Kind::kIndexed);
            std::vector<NamePiece> pieces;
            int32_t i = first;
            Deeper(depth + 1);  // composing holds a guard of its own
            while (true) {
                const char* text = At(i).text;
                uint32_t length = static_cast<uint32_t>(std::strlen(text));
                pieces.push_back({text, length, HT_RawHash(text, length), -1});
                ++i;
                while (IsOp(i, '[')) {
                    int32_t close = At(i).match;
                    if (close == 0) throw NotPure{};
                    int32_t inner = i + 1;
                    int32_t index = Expression(inner, depth + 1);
                    if (inner != close) throw NotPure{};
                    pieces.push_back({nullptr, 0, 0, index});
                    i = close + 1;
                }
                if (!IsOp(i, '.')) break;
                ++i;
                if (At(i).type != TOKEN_NAME) throw NotPure{};
            }
            if (i != end) throw NotPure{};
            auto& indexed = *Parts().indexed.emplace_back(std::make_unique<IndexedName>());
            size_t prefix = 0;
            while (pieces[prefix].text) ++prefix;  // the name is followed by an index somewhere
            indexed.prefix = prefix;
            for (size_t k = 0; k < prefix; ++k)
                indexed.prefixParts.push_back({pieces[k].text, pieces[k].length, pieces[k].hash});
            indexed.pieces = std::move(pieces);
            u_.nodes[static_cast<size_t>(node)].indexed = &indexed;
        }
        Item(first);
        at = end;
        return node;
    }
};

// ---------------------------------------------------------------- evaluation

// A value during evaluation. A string is borrowed from a string constant or
// a variable while it is only read: nothing changes during an evaluation, so
// what it points into stays. A joined string is owned (a counted block); the
// register gets a count of its own (Take): a variable's block is shared, a
// constant's text copied.
struct Value {
    int32_t type = VAR_UNDEFINED;
    FunctionRef function{};
    double number = 0;
    const char* string = nullptr;  // VAR_STRING: NUL-terminated, `length` bytes
    size_t length = 0;
    bool owned = false;
    bool counted = false;  // borrowed from a variable: a counted block

    Value() = default;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    ~Value() {
        if (owned) MM_ReleaseText(const_cast<char*>(string));
    }
    void Borrow(const char* text, size_t n) {
        type = VAR_STRING;
        string = text;
        length = n;
        counted = false;
    }
    void BorrowCounted(char* text, size_t n) {
        Borrow(text, n);
        counted = true;
    }
    Operand AsOperand() const { return {type, number, string, length, function}; }
    // The string as a counted block of which the caller holds one count.
    char* Take() {
        char* text = const_cast<char*>(string);
        if (!owned) text = counted ? MM_ShareText(text) : MM_CopyText(string, length);
        string = nullptr;
        owned = false;
        counted = false;
        return text;
    }
};

class Runner {
  public:
    explicit Runner(const CompiledTree& unit) : u_(unit) {}

    // Evaluates node n when its value is a number, into `out`, without
    // building values; false when it is anything else, and then nothing has
    // changed and the general evaluation starts again from scratch.
    bool Number(int32_t n, double& out) {
        const Node& node = u_.nodes[static_cast<size_t>(n)];
        double right;
        switch (node.kind) {
            case Kind::kNumber: out = node.number; return true;
            case Kind::kName:
            case Kind::kIndexed: {
                const Cell* var = Lookup(node);
                if (!var || var->type != VAR_NUMBER) return false;
                out = var->value.number;
                return true;
            }
            case Kind::kInspect: out = Inspect(node); return true;
            case Kind::kPlus: return Number(node.kids[0], out);
            case Kind::kMinus:
                if (!Number(node.kids[0], out)) return false;
                out = -out;
                return true;
            case Kind::kAdd:
            case Kind::kSub:
            case Kind::kMul:
            case Kind::kDiv:
                if (!Number(node.kids[0], out) || !Number(node.kids[1], right)) return false;
                out = Arithmetic(OperatorOf(node.kind), out, right);
                return true;
            default: return false;
        }
    }

    // Evaluates node n into v, which is undefined on entry.
    void Eval(int32_t n, Value& v) {
        const Node& node = u_.nodes[static_cast<size_t>(n)];
        if (node.arithmetic && Number(n, v.number)) {
            v.type = VAR_NUMBER;
            return;
        }
        switch (node.kind) {
            case Kind::kNumber:
                v.type = VAR_NUMBER;
                v.number = node.number;
                return;
            case Kind::kString: v.Borrow(node.text, node.length); return;
            case Kind::kName:
            case Kind::kIndexed: Read(Lookup(node), v); return;
            case Kind::kInspect:
                v.type = VAR_NUMBER;
                v.number = Inspect(node);
                return;
            case Kind::kPlus:
                Eval(node.kids[0], v);
                if (v.type != VAR_NUMBER && v.type != VAR_STRING) throw CompiledGiveUp{};
                return;
            case Kind::kMinus:
                Eval(node.kids[0], v);
                if (v.type != VAR_NUMBER) throw CompiledGiveUp{};
                v.number = -v.number;
                return;
            case Kind::kAdd:
            case Kind::kSub:
            case Kind::kMul:
            case Kind::kDiv: {
                int32_t op = OperatorOf(node.kind);
                Eval(node.kids[0], v);
                if (!LeftMayCombine(op, v.type)) throw CompiledGiveUp{};  // the walker stops before the right side
                Value r;
                Eval(node.kids[1], r);
                if (!MayCombine(op, v.type, r.type)) throw CompiledGiveUp{};
                if (v.type == VAR_STRING)
                    Join(v, r);
                else
                    v.number = Arithmetic(op, v.number, r.number);
                return;
            }
            default: throw CompiledGiveUp{};  // conditions are not values
        }
    }

    bool Test(int32_t n) {
        const Node& node = u_.nodes[static_cast<size_t>(n)];
        switch (node.kind) {
            case Kind::kTruth: {
                Value v;
                Eval(node.kids[0], v);
                return IsTrue(v.type, v.number, v.length != 0);
            }
            case Kind::kCompare: return Compare(node);
            case Kind::kNot: return !Test(node.kids[0]);
            case Kind::kChain: {
                const Chain& chain = *node.chain;
                bool flag = Test(chain.kids[0]);
                for (size_t i = 1; i < chain.kids.size(); ++i) {
                    bool isAnd = chain.isAnd[i - 1];
                    if (isAnd ? !flag : flag) return flag;  // decided: the rest is skipped
                    bool right = Test(chain.kids[i]);
                    flag = isAnd ? (flag && right) : (flag || right);
                }
                return flag;
            }
            default: throw CompiledGiveUp{};
        }
    }

    // The variable a name node stands for, in the current scope; with
    // `create`, made with its path when missing (MM_CreateVar).
    ElementRef Resolve(const Node& node, bool create) {
        if (node.kind == Kind::kIndexed) return Indexed(node, create);
        return ElementRef{Named(node, create)};
    }

  private:
    const CompiledTree& u_;

    // The value a name node reads, or null when it names nothing.
    const Cell* Lookup(const Node& node) {
        if (node.kind == Kind::kIndexed) {
            ElementRef found = Indexed(node, false);
            return found.Found() ? found.Value() : nullptr;
        }
        return Named(node, false);
    }

    // The variable that the fixed prefix of an indexed name stands for (with
    // `create`, made when missing): cached like a plain name.
    Var* Prefix(const Node& node, bool create) {
        if (node.epoch == sNameEpoch) return node.found;
        return Remember(node, Walk(node.indexed->prefixParts.data(), node.indexed->prefix, create));
    }

    // What defined, sizeof or a type test gives for the name under `node`.
    [[gnu::noinline]] double Inspect(const Node& node) {  // out of line: Number() stays small
        const Node& name = u_.nodes[static_cast<size_t>(node.kids[0])];
        ElementRef found = name.kind == Kind::kIndexed ? Indexed(name, false) : ElementRef{Named(name, false)};
        if (!found.Found()) return 0;
        if (node.op == RW_SIZEOF) return found.var ? found.var->MemberCount() : 0;  // inline: no members
        int32_t type = found.Value()->type;
        switch (node.op) {
            case RW_DEFINED: return type != VAR_UNDEFINED;
            case RW_ISNUMBER: return type == VAR_NUMBER;
            case RW_ISSTRING: return type == VAR_STRING;
            default: return type == VAR_FUNCTION;
        }
    }

    // Resolve for a plain name.
    Var* Named(const Node& node, bool create) {
        if (node.epoch == sNameEpoch) return node.found;
        const NameInfo& name = *node.name;
        return Remember(node, Walk(name.parts.data(), name.parts.size(), create));
    }

    // Keeps what a name was found as: the same until sNameEpoch moves.
    static Var* Remember(const Node& node, Var* var) {
        if (var) {
            node.epoch = sNameEpoch;
            node.found = var;
        }
        return var;
    }

    // The variable named by `parts` in the current scope (made when missing with `create`).
    static Var* Walk(const KeyPart* parts, size_t count, bool create) {
        if (sScope > 0) return create ? MM_CreateScoped(sScope, parts, count) : MM_GetScoped(sScope, parts, count);
        return create ? MM_CreateParts(nullptr, parts, count) : MM_GetParts(nullptr, parts, count);
    }

    // The register's rules for a name read: an alias or a missing variable
    // reads as undefined; a string is borrowed.
    static void Read(const Cell* var, Value& v) {
        if (!var) return;
        switch (var->type) {
            case VAR_NUMBER:
                v.type = VAR_NUMBER;
                v.number = var->value.number;
                break;
            case VAR_STRING: v.BorrowCounted(var->value.string, Var_StringLength(var)); break;
            case VAR_FUNCTION:
                v.type = VAR_FUNCTION;
                v.function = var->value.function;
                break;
            default: break;
        }
    }

    static void Join(Value& left, const Value& right) {
        size_t length = left.length + right.length;
        char* joined;
        if (left.owned) {
            joined = MM_GrowText(const_cast<char*>(left.string), length + 1);  // owned: never shared
        } else {
            joined = MM_NewText(length);
            std::memcpy(joined, left.string, left.length);
        }
        std::memcpy(joined + left.length, right.string, right.length);
        joined[length] = '\0';
        left.string = joined;
        left.owned = true;
        left.counted = false;
        left.length = length;
    }

    // Looks an indexed name up (or creates it) by the key the cursor would
    // compose: the scope, the fixed parts and each evaluated index, whose
    // text (a string index may hold several dotted parts) is kept in a local
    // buffer. A key too long for the buffer gives up. Every index is
    // evaluated before the walk starts, as the cursor composes the whole key
    // first; a number index is written out only when the walk needs its text.
    ElementRef Indexed(const Node& node, bool create) {
        constexpr size_t kMaxParts = 32, kTextSize = 256;
        KeyPart parts[kMaxParts];
        char text[kTextSize];
        size_t count = 0, used = 0;
        auto add = [&](const KeyPart& part) {
            if (count == kMaxParts) throw CompiledGiveUp{};
            parts[count++] = part;
        };
        // Copies a dynamic part into the buffer and adds it, hashed.
        auto addCopy = [&](const char* p, size_t n) {
            if (n > kTextSize - used) throw CompiledGiveUp{};
            std::memcpy(text + used, p, n);
            add({text + used, static_cast<uint32_t>(n), HT_RawHash(text + used, n)});
            used += n;
        };
        // A number index (truncated toward zero) is kept as its value until
        // its decimal text is needed: a part without text.
        auto addNumber = [&](double number) {
            // The conversion truncates; NaN fails both tests.
            if (!(number > INT32_MIN - 1.0 && number < INT32_MAX + 1.0)) throw CompiledGiveUp{};
            add({nullptr, static_cast<uint32_t>(static_cast<int32_t>(number)), 0});
        };
        // The parts after the fixed prefix (which Prefix() walks).
        const IndexedName& indexed = *node.indexed;
        for (size_t k = indexed.prefix; k < indexed.pieces.size(); ++k) {
            const NamePiece& piece = indexed.pieces[k];
            if (piece.text) {
                add({piece.text, piece.length, piece.hash});
                continue;
            }
            double number;
            if (Number(piece.index, number)) {
                addNumber(number);
                continue;
            }
            Value index;
            Eval(piece.index, index);
            if (index.type == VAR_NUMBER) {
                addNumber(index.number);
            } else if (index.type == VAR_STRING && ValidateUserKey(index.string)) {
                // A valid key is non-empty dotted components: each is a part.
                for (const char* p = index.string;;) {
                    const char* dot = std::strchr(p, '.');
                    size_t n = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
                    addCopy(p, n);
                    if (!dot) break;
                    p = dot + 1;
                }
            } else {
                throw CompiledGiveUp{};
            }
        }
        Var* var = Prefix(node, create);
        if (!var) return {};
        // The rest, one member at a time (as MM_GetMemberParts and
        // MM_CreateMemberParts walk them). An element kept inline is the
        // end of the walk: it has no members to read, and one to create in
        // gets its Var.
        for (size_t i = 0; i < count; ++i) {
            KeyPart& part = parts[i];
            if (!create && !var->HasMembers()) return {};
            if (!part.text) {
                auto index = static_cast<int32_t>(part.length);
                ElementRef element;
                if (index >= 0 && MM_StepElement(var, static_cast<uint32_t>(index), create, &element)) {
                    if (i + 1 == count || !element.Found()) return element;
                    if (!element.var && !create) return {};
                    var = MM_ElementVar(element);
                    continue;
                }
                if (kTextSize - used < 12) throw CompiledGiveUp{};
                char* digits = text + used;
                size_t n = static_cast<size_t>(std::to_chars(digits, text + kTextSize, index).ptr - digits);
                part = {digits, static_cast<uint32_t>(n), HT_RawHash(digits, n)};
                used += n;
            }
            var = create ? MM_CreateMemberParts(var, &part, 1) : MM_GetMemberParts(var, &part, 1);
            if (!var) return {};
        }
        return ElementRef{var};
    }

    bool Compare(const Node& node) {
        int32_t op = node.op;
        double x, y;
        if (Number(node.kids[0], x) && Number(node.kids[1], y)) return CompareNumbers(op, x, y);
        return CompareValues(node);
    }

    // Compare for anything but two numbers; out of line, so that the
    // numbers' test stays small.
    [[gnu::noinline]] bool CompareValues(const Node& node) {
        int32_t op = node.op;
        Value l, r;
        Eval(node.kids[0], l);
        if (!LeftMayCompare(op, l.type)) throw CompiledGiveUp{};
        Eval(node.kids[1], r);
        if (!MayCompare(op, l.type, r.type)) throw CompiledGiveUp{};
        return CompareOperands(op, l.AsOperand(), r.AsOperand());
    }
};

// ---------------------------------------------------------------- cache

Fact FactOf(Mode mode) {
    switch (mode) {
        case Mode::kExpression: return Fact::kExpression;
        case Mode::kCondition: return Fact::kCondition;
        case Mode::kTarget: return Fact::kTarget;
        case Mode::kTerm: return Fact::kTerm;
        default: return Fact::kFactor;
    }
}

// The unit cached for the token at `first`, compiling it on the first visit;
// null when the tokens there are not a pure expression (condition, target).
const CompiledTree* UnitAt(int32_t first, Mode mode) {
    Fact fact = FactOf(mode);
    if (const CompiledTree* slot = TokenFactPointer<CompiledTree>(first, fact))
        return slot == kNotCompilable ? nullptr : slot;
    auto unit = std::make_unique<CompiledTree>();
    Compiler compiler(*unit);
    try {
        int32_t at = first;
        switch (mode) {
            case Mode::kExpression: unit->root = compiler.Expression(at, 0); break;
            case Mode::kCondition: unit->root = compiler.Condition(at, 0); break;
            case Mode::kTarget: unit->root = compiler.Target(at); break;
            case Mode::kTerm: unit->root = compiler.ExpressionTerm(at); break;
            case Mode::kFactor: unit->root = compiler.TermFactor(at); break;
        }
        unit->end = at;
        unit->nodes.shrink_to_fit();
    } catch (const NotPure&) {
        for (const Compiler::Start& start : compiler.Failed()) {
            Fact marked = FactOf(start.mode);
            if (!TokenFact(start.token, marked)) SetTokenFactPointer(start.token, marked, kNotCompilable);
        }
        SetTokenFactPointer(first, fact, kNotCompilable);
        return nullptr;
    }
    sUnits.push_back(std::move(unit));  // kept before anything points to it
    SetTokenFactPointer(first, fact, sUnits.back().get());
    return sUnits.back().get();
}

// The tree's value moved into the register (whose old value is freed).
void ToRegister(Value& v) {
    char* text = v.type == VAR_STRING ? v.Take() : nullptr;  // first: it may run out of memory
    Var_Free(&sRegister);
    sRegister.type = v.type;
    switch (v.type) {
        case VAR_NUMBER: sRegister.value.number = v.number; break;
        case VAR_STRING:
            sRegister.length = v.length < kUnknownLength ? static_cast<uint32_t>(v.length) : kUnknownLength;
            sRegister.value.string = text;
            break;
        case VAR_FUNCTION: sRegister.value.function = v.function; break;
        default: sRegister.value.number = 0; break;
    }
}

// Leaves the cursor as the walker leaves it after the unit's tokens.
void MoveBehind(const CompiledTree& unit) { PlaceCursor(unit.lastItem, unit.end); }

bool Enabled() {
#ifdef ZORVIK_WALKER_ONLY
    return false;
#else
    return true;
#endif
}

}  // namespace

bool RunCompiledExpression() {
    if (!Enabled() || !LookaheadInCurrentScope() || FirstVisit(LookaheadIndex(), Visit::kExpression)) return false;
    const CompiledTree* unit = UnitAt(LookaheadIndex(), Mode::kExpression);
    if (!unit || sDepth + unit->depth > sMaxDepth) return false;
    try {
        EvaluateTree(*unit);
    } catch (const CompiledGiveUp&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;  // the walker repeats the work and reports where it runs out
    }
    MoveBehind(*unit);
    return true;
}

bool RunCompiledCondition() {
    if (!Enabled() || !LookaheadInCurrentScope() || FirstVisit(LookaheadIndex(), Visit::kCondition)) return false;
    const CompiledTree* unit = UnitAt(LookaheadIndex(), Mode::kCondition);
    if (!unit || sDepth + unit->depth > sMaxDepth) return false;
    bool flag;
    try {
        flag = Runner(*unit).Test(unit->root);
    } catch (const CompiledGiveUp&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    SetFlag(flag ? 1 : 0);
    MoveBehind(*unit);
    return true;
}

void ClearCompiled() { sUnits.Clear(); }

bool CompilerEnabled() { return Enabled(); }

const CompiledTree* CompiledExpressionAt(int32_t first) { return UnitAt(first, Mode::kExpression); }

const CompiledTree* CompiledConditionAt(int32_t first) { return UnitAt(first, Mode::kCondition); }

const CompiledTree* CompiledTargetAt(int32_t first) { return UnitAt(first, Mode::kTarget); }

const CompiledTree* CompiledTermAt(int32_t first) { return UnitAt(first, Mode::kTerm); }

const CompiledTree* CompiledFactorAt(int32_t first) { return UnitAt(first, Mode::kFactor); }

int32_t TreeEnd(const CompiledTree& tree) { return tree.end; }

int32_t TreeLastItem(const CompiledTree& tree) { return tree.lastItem; }

int32_t TreeDepth(const CompiledTree& tree) { return tree.depth; }

void EvaluateTree(const CompiledTree& tree) {
    Value v;
    Runner(tree).Eval(tree.root, v);
    ToRegister(v);
}

bool TreeNumber(const CompiledTree& tree, double& out) {
    try {
        return Runner(tree).Number(tree.root, out);
    } catch (const CompiledGiveUp&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool TestTree(const CompiledTree& tree) { return Runner(tree).Test(tree.root); }

bool IsPlainName(const CompiledTree& tree) { return tree.nodes[static_cast<size_t>(tree.root)].kind == Kind::kName; }

Var* FindTarget(const CompiledTree& tree) {
    const Node& node = tree.nodes[static_cast<size_t>(tree.root)];
    ZK_ASSERT(node.kind == Kind::kName);
    return Runner(tree).Resolve(node, false).var;
}

ElementRef CreateTarget(const CompiledTree& tree) {
    return Runner(tree).Resolve(tree.nodes[static_cast<size_t>(tree.root)], true);
}

}  // namespace zorvik
