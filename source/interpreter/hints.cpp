#include "interpreter/hints.h"

#include "hash_table/hash_table.h"
#include "interpreter/call_stack.h"
#include "interpreter/evaluator.h"
#include "interpreter/functions.h"
#include "interpreter/tokens.h"

namespace zorvik {

namespace {

const Token& At(int32_t i) { return sTokens[static_cast<size_t>(i)]; }
bool IsOp(int32_t i, int32_t c) { return At(i).type == TOKEN_OPERATOR && At(i).code == c; }
bool IsReserved(int32_t i, int32_t code) { return At(i).type == TOKEN_RESERVED && At(i).code == code; }

// A variable that holds a value, itself or in a member. Reading a name may
// have made it and its members empty: they hold nothing. Deep or dense
// members count as something.
bool HoldsSomething(const Var* var, int depth = 0) {
    if (!var) return false;
    if (var->type != VAR_UNDEFINED || depth > 8 || var->Dense()) return true;
    if (var->MemberCount() == 0) return false;
    bool found = false;
    HT_ForEachEntry(var->Children(), [&found, depth](const HashEntry* e) {
        found = found || HoldsSomething(static_cast<const Var*>(e->data), depth + 1);
    });
    return found;
}

std::string ScopedPath(const std::string& name) { return sScope == 0 ? name : std::to_string(sScope) + "." + name; }

// Inside a function (or an imported file), a name the scope holds nothing
// under while a global of that name does: the body cannot see the global
// without `extern`.
bool ForgotExtern(const std::string& root) {
    if (sScope == 0 || root == "self" || root == "this") return false;
    return !HoldsSomething(MM_GetVar(ScopedPath(root))) && HoldsSomething(MM_GetVar(root));
}

// For the undefined variable whose name runs over tokens [first, end).
std::string Undefined(int32_t first, int32_t end) {
    std::string root = At(first).text;
    if (ForgotExtern(root)) return root + " is a global; did you forget `extern " + root + ";`?";
    return SourceText(first, end) + " is undefined";
}

// A token that ends a value, so that an operator after it is infix.
bool EndsValue(int32_t i) {
    int32_t type = At(i).type;
    return type == TOKEN_NAME || type == TOKEN_NUMBER || type == TOKEN_STRING || IsOp(i, ')') || IsOp(i, ']');
}

// Whether token i lies inside the parentheses of an if or while (do's
// condition included): the statement it stands in is searched backwards,
// out through every parenthesis still open.
bool InCondition(int32_t i) {
    int32_t depth = 0;
    for (int32_t k = i - 1; k >= 0 && At(k).type != TOKEN_EOF; --k) {
        if (IsOp(k, ')')) {
            ++depth;
        } else if (IsOp(k, '(')) {
            if (depth > 0) {
                --depth;
            } else if (k > 0 && (IsReserved(k - 1, RW_IF) || IsReserved(k - 1, RW_WHILE))) {
                return true;
            }
        } else if (depth == 0 && (IsOp(k, ';') || IsOp(k, '{') || IsOp(k, '}'))) {
            return false;
        }
    }
    return false;
}

// A comparison or logical operator where the parser wanted something else,
// outside any condition: the writer took it for an expression operator.
std::string Comparison(int32_t token) {
    const Token& t = At(token);
    bool logical = t.type == TOKEN_RESERVED && (t.code == RW_AND || t.code == RW_OR || t.code == RW_NOT);
    bool compares = t.type == TOKEN_OPERATOR && (t.code == '<' || t.code == '>' || t.code == '=' || t.code == OP_LE ||
                                                 t.code == OP_GE || t.code == OP_NE);
    if (!logical && !compares) return "";
    bool infix = !(logical && t.code == RW_NOT);
    if ((infix && (token == 0 || !EndsValue(token - 1))) || InCondition(token)) return "";
    if (logical)
        return std::string("`") + kReservedWords[t.code] + "` works only in the condition of an if, while or do";
    return std::string("`") + OperatorText(t.code) + "` compares only in the condition of an if, while or do";
}

// The plain name that ends just before token `end` and holds no value,
// for the hint about it; "" when there is none. An index is not evaluated,
// so a name with one is not looked at.
std::string UndefinedBefore(int32_t end) {
    int32_t first = NameStart(end);
    if (first == end) return "";
    std::string path;
    for (int32_t i = first; i < end; ++i) {
        if (IsOp(i, '[')) return "";
        path += At(i).type == TOKEN_NAME ? At(i).text : ".";
    }
    const Var* var = MM_GetVar(ScopedPath(path));
    return var && var->type != VAR_UNDEFINED ? "" : Undefined(first, end);
}

bool IsInfix(int32_t i) {
    if (At(i).type != TOKEN_OPERATOR) return false;
    int32_t c = At(i).code;
    return c == '+' || c == '-' || c == '*' || c == '/' || c == '<' || c == '>' || c == '=' || c == OP_LE ||
           c == OP_GE || c == OP_NE;
}

}  // namespace

std::string HintAt(const std::string& message, int32_t token) {
    if (token < 0 || token >= TokenCount()) return "";
    // An operand was undefined. The error stands at the token after it (the
    // operator after a left operand, what follows a right one or `x` in
    // `-x`), or, once the right operand has been read, at that operand.
    if (message.ends_with(" undefined")) {
        std::string hint = UndefinedBefore(token);
        if (hint.empty() && token > 0 && IsInfix(token - 1)) hint = UndefinedBefore(token - 1);
        return hint;
    }
    return Comparison(token);
}

std::string CalleeHint(const Var* function, int32_t paren) {
    int32_t first = NameStart(paren);
    if (first == paren) return "";
    if (!function || function->type == VAR_UNDEFINED) return Undefined(first, paren);
    if (function->type == VAR_NUMBER) return SourceText(first, paren) + " holds a number, not a function";
    if (function->type == VAR_STRING) return SourceText(first, paren) + " holds a string, not a function";
    return "";
}

}  // namespace zorvik
