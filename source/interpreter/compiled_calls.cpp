#include "interpreter/compiled_calls.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "common/per_thread.h"
#include "interpreter/compiled_expressions.h"
#include "interpreter/cursor.h"
#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/runner.h"

namespace zorvik {

namespace {

// A `* factor` or `/ factor` after a call, the factor pure.
struct SumFactor {
    int32_t op = 0;
    int32_t opToken = 0;
    const CompiledTree* tree = nullptr;
};

// One term of a sum: a pure term, or a call followed by its factors.
struct SumTerm {
    int32_t op = 0;                        // '+' or '-' before it; 0 for the first
    int32_t opToken = 0;                   // that operator's token
    const CompiledTree* pure = nullptr;    // a pure term, or null for a call
    const CompiledTree* callee = nullptr;  // the call's plain name
    int32_t open = 0;                      // the call's '(' (its site)
    std::vector<const CompiledTree*> args;
    int32_t close = 0;  // the call's ')'
    std::vector<SumFactor> factors;
    // The depth guards the walker would hold beyond the present ones at the
    // deepest point of the call's arguments; at least the call's own.
    int32_t depth = 1;
    int32_t last = 0;  // the token whose position the walker records last in the term
};

}  // namespace

struct CompiledSum {
    std::vector<SumTerm> terms;
    int32_t end = 0;  // the first token after the sum
};

namespace {

using Sum = CompiledSum;

// The most arguments a compiled call passes; more stay with the walker.
constexpr size_t kMaxArgs = 8;

thread_local constinit ThreadVector<std::unique_ptr<Sum>> sSums;  // no TLS guard on SumAt
// Per token (Fact::kSum): null when not tried yet, kNotASum, or the sum.
Sum sNotASumMark;
Sum* const kNotASum = &sNotASumMark;

// ---------------------------------------------------------------- compiler

const Token& At(int32_t i) { return sTokens[static_cast<size_t>(i)]; }
bool IsOp(int32_t i, int32_t c) { return At(i).type == TOKEN_OPERATOR && At(i).code == c; }

// Reads the call at token `at` (a name before '(') into `term`; false when
// it is not one that compiles (the name must be plain). Moves `at` behind
// the ')'.
bool ReadCall(int32_t& at, SumTerm& term) {
    const NameInfo& name = NameAt(at);
    if (!name.plain) return false;
    term.callee = CompiledTargetAt(at);
    if (!term.callee || !IsPlainName(*term.callee)) return false;
    term.open = at + name.span;
    int32_t close = At(term.open).match;
    if (close == 0) return false;
    for (int32_t arg = term.open + 1; arg != close;) {
        const CompiledTree* tree = CompiledExpressionAt(arg);
        if (!tree || term.args.size() == kMaxArgs) return false;
        term.args.push_back(tree);
        term.depth = std::max(term.depth, 1 + TreeDepth(*tree));  // the call's guard and the tree's
        arg = TreeEnd(*tree);
        if (IsOp(arg, ','))
            ++arg;
        else if (arg != close)
            return false;
        if (arg == close && IsOp(arg - 1, ',')) return false;  // a missing argument is the walker's error
    }
    term.close = term.last = close;
    at = close + 1;
    while (IsOp(at, '*') || IsOp(at, '/')) {
        SumFactor factor{At(at).code, at, CompiledFactorAt(at + 1)};
        if (!factor.tree) return false;
        term.last = TreeLastItem(*factor.tree);
        at = TreeEnd(*factor.tree);
        term.factors.push_back(factor);
    }
    return true;
}

// Reads the term at `at` into `term`; false when it does not compile.
bool ReadTerm(int32_t& at, SumTerm& term) {
    if (At(at).type == TOKEN_NAME && IsOp(at + NameAt(at).span, '(')) return ReadCall(at, term);
    term.pure = CompiledTermAt(at);
    if (!term.pure) return false;
    term.last = TreeLastItem(*term.pure);
    at = TreeEnd(*term.pure);
    return true;
}

std::unique_ptr<Sum> Compile(int32_t first) {
    auto sum = std::make_unique<Sum>();
    int32_t at = first;
    bool calls = false;
    while (true) {
        SumTerm term;
        if (!sum->terms.empty()) {
            term.op = At(at).code;
            term.opToken = at++;
        }
        if (!ReadTerm(at, term)) return nullptr;
        calls = calls || !term.pure;
        sum->terms.push_back(std::move(term));
        if (!IsOp(at, '+') && !IsOp(at, '-')) break;
    }
    if (!calls || At(at).type == TOKEN_NAME) return nullptr;
    sum->end = at;
    return sum;
}

const Sum* SumAt(int32_t first) {
    if (const Sum* cached = TokenFactPointer<Sum>(first, Fact::kSum)) return cached == kNotASum ? nullptr : cached;
    std::unique_ptr<Sum> sum = Compile(first);
    if (!sum) {
        SetTokenFactPointer(first, Fact::kSum, kNotASum);
        return nullptr;
    }
    sSums.push_back(std::move(sum));  // kept before anything points to it
    SetTokenFactPointer(first, Fact::kSum, sSums.back().get());
    return sSums.back().get();
}

// ---------------------------------------------------------------- running

// Whether a depth guard taken `levels` deeper than now would fail.
bool TooDeep(int32_t levels) {
#ifdef ZORVIK_FUZZ
    if (sFuzzSteps + levels > kFuzzStepLimit) return true;
#endif
    return sDepth + levels > sMaxDepth;
}

// Argument values between their evaluation and the call; the call moves
// them out, and whatever is left is freed.
class Arguments {
  public:
    Arguments() {}  // the cells are made as they are filled
    ~Arguments() {
        for (size_t i = 0; i < count_; ++i)
            if (cells_[i].type == VAR_STRING) MM_ReleaseText(cells_[i].value.string);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    // Evaluates the trees in order; false when one gives up. The depth
    // they need has been checked.
    bool Evaluate(const std::vector<const CompiledTree*>& trees) {
        for (const CompiledTree* tree : trees) {
            try {
                EvaluateTree(*tree);
            } catch (const CompiledGiveUp&) {
                return false;
            } catch (const std::bad_alloc&) {
                return false;
            }
            new (&cells_[count_++]) Cell(sRegister);  // the string, if any, moves along
            sRegister.type = VAR_UNDEFINED;
        }
        return true;
    }
    Cell* Cells() { return cells_; }
    size_t Count() const { return count_; }

  private:
    // Made one by one as the arguments are evaluated: only the first
    // count_ are cells.
    union {
        Cell cells_[kMaxArgs];
    };
    size_t count_ = 0;
};

// Makes the call of `term`, leaving its result where the function's return
// put it; false, with nothing changed, when the walker must make it.
bool Call(const SumTerm& term) {
    Var* function = FindTarget(*term.callee);
    int32_t index = function ? ValuesCallee(function, term.args.size()) : -1;
    // The walker evaluates the arguments inside the call's depth guard. Too
    // deep for one of them is too deep before the first: they change nothing.
    if (index < 0 || TooDeep(term.depth)) return false;
    Arguments args;
    if (!args.Evaluate(term.args)) return false;  // pure: the function is still the same
    CallWithValues(index, function, term.open, term.close, args.Cells(), args.Count());
    return true;
}

// Call, then the result into the register, as a call in an expression.
bool CallForValue(const SumTerm& term) {
    if (!Call(term)) return false;
    MM_TakeResult(&sRegister);
    return true;
}

// The walker goes on before the operator of term i, the sum so far being `sum`.
void WalkFrom(const Sum& sum, size_t i, double value) {
    Var_SetNumber(&sRegister, value);
    PlaceCursor(sum.terms[i - 1].last, sum.terms[i].opToken);
    ExpressionTail();
}

// The walker goes on behind the call of term i, which gave something other
// than a number (in the register); the sum before it was `left`.
void WalkBehindCall(const Sum& sum, size_t i, double left) {
    const SumTerm& term = sum.terms[i];
    Cell right = sRegister;
    sRegister.type = VAR_UNDEFINED;
    Var_SetNumber(&sRegister, left);
    Push();
    static_cast<Cell&>(sRegister) = right;
    PlaceCursor(term.close, term.close + 1);
    if (term.op == '+')
        AddRight();
    else
        SubRight();
    ExpressionTail();
}

// The value of a pure term or factor when it is a number.
bool PureNumber(const CompiledTree& tree, double& out) {
    // The tree counts the expression's guard, which is held.
    return !TooDeep(TreeDepth(tree) - 1) && TreeNumber(tree, out);
}
bool PureNumber(const SumTerm& term, double& out) { return PureNumber(*term.pure, out); }

// The walker goes on inside term i, before its operator at `opToken` (the
// token `prev` recorded last), the term so far in the register; the sum
// before the term, `left`, is pushed as the walker holds it then.
void WalkInTerm(const Sum& sum, size_t i, double left, int32_t prev, int32_t opToken) {
    const SumTerm& term = sum.terms[i];
    if (i > 0) {
        Cell right = sRegister;
        sRegister.type = VAR_UNDEFINED;
        Var_SetNumber(&sRegister, left);
        Push();
        static_cast<Cell&>(sRegister) = right;
    }
    PlaceCursor(prev, opToken);
    TermTail();
    if (i > 0) {
        if (term.op == '+')
            AddRight();
        else
            SubRight();
    }
    ExpressionTail();
}

// The factors of call term i, its call's result in the register: true with
// the term's value in `out` when every step is a number; otherwise false,
// the walker having gone on from the step (WalkInTerm). `left` is the sum
// before the term.
bool CallFactors(const Sum& sum, size_t i, double left, double& out) {
    const SumTerm& term = sum.terms[i];
    if (sRegister.type != VAR_NUMBER) {
        WalkInTerm(sum, i, left, term.close, term.factors[0].opToken);
        return false;
    }
    double value = sRegister.value.number;
    int32_t prev = term.close;
    for (const SumFactor& factor : term.factors) {
        double right;
        if (!PureNumber(*factor.tree, right)) {
            Var_SetNumber(&sRegister, value);
            WalkInTerm(sum, i, left, prev, factor.opToken);
            return false;
        }
        value = factor.op == '*' ? value * right : value / right;
        prev = TreeLastItem(*factor.tree);
    }
    out = value;
    return true;
}

}  // namespace

const CompiledSum* CompiledSumAt(int32_t first) { return CompilerEnabled() ? SumAt(first) : nullptr; }

int32_t SumEnd(const CompiledSum& sum) { return sum.end; }

bool RunSum(const CompiledSum& sum) {
    if (TooDeep(1)) return false;
    DepthGuard guard;  // the expression's
    const SumTerm& first = sum.terms[0];
    double value;
    // Nothing has changed until the first call has run.
    if (first.pure) {
        if (!PureNumber(first, value)) return false;
    } else {
        if (!CallForValue(first)) return false;
        if (!first.factors.empty()) {
            if (!CallFactors(sum, 0, 0, value)) return true;
        } else if (sRegister.type != VAR_NUMBER) {
            PlaceCursor(first.close, first.close + 1);
            ExpressionTail();
            return true;
        } else {
            value = sRegister.value.number;
        }
    }
    for (size_t i = 1; i < sum.terms.size(); ++i) {
        const SumTerm& term = sum.terms[i];
        double right;
        if (term.pure) {
            if (!PureNumber(term, right)) {
                WalkFrom(sum, i, value);
                return true;
            }
        } else {
            if (!CallForValue(term)) {
                WalkFrom(sum, i, value);
                return true;
            }
            if (!term.factors.empty()) {
                if (!CallFactors(sum, i, value, right)) return true;
            } else if (sRegister.type != VAR_NUMBER) {
                WalkBehindCall(sum, i, value);
                return true;
            } else {
                right = sRegister.value.number;
            }
        }
        value = term.op == '+' ? value + right : value - right;
    }
    Var_SetNumber(&sRegister, value);
    PlaceCursor(sum.terms.back().last, sum.end);
    return true;
}

bool SumStoppedShort(const CompiledSum& sum) { return LookaheadIndex() != sum.end; }

bool IsCallStatement(const CompiledSum& sum) {
    return sum.terms.size() == 1 && !sum.terms[0].pure && sum.terms[0].factors.empty() && IsOp(sum.end, ';');
}

bool RunCallStatement(const CompiledSum& sum) {
    if (!Call(sum.terms[0])) return false;
    MM_DeleteResult();
    return true;
}

bool RunCompiledCalls() {
    if (!CompilerEnabled() || !LookaheadInCurrentScope() || FirstVisit(LookaheadIndex(), Visit::kSum)) return false;
    const CompiledSum* sum = SumAt(LookaheadIndex());
    return sum && RunSum(*sum);
}

void ClearCompiledCalls() { sSums.Clear(); }

}  // namespace zorvik
