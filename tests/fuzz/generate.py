#!/usr/bin/env python3
"""Writes well-formed zorvik programs for the fuzzer's corpus.

generate.py <directory> [count] [seed] [--repeatable]

Each program is built from the language's grammar: assignments of every
kind, records and arrays with computed indexes, aliases, functions with value
and ref parameters, recursion, loops with bounds, imports and calls into the
script library. Programs are well formed, so mutating them reaches the
evaluator and the libraries, not only the parser's error paths. With
--repeatable they leave out the calls whose results change from run to run
(the clock, random numbers, file times), so that two runs, or two builds,
print the same.
"""
import os
import random
import sys

LIBS = {
    "sy": ("sys.z", [("wln", 1), ("write", 1), ("time", 0), ("ver", 0), ("path", 0), ("toTime", 6), ("date", 0)]),
    "ma": ("math.z", [("sqrt", 1), ("pow", 2), ("floor", 1), ("mod", 2), ("min", 2), ("max", 2), ("abs", 1),
                     ("rnd", 2), ("log", 1), ("exp", 1), ("atan", 1)]),
    "st": ("string.z", [("left", 2), ("right", 2), ("sub", 3), ("find", 3), ("findAll", 3), ("split", 2),
                       ("upper", 1), ("lower", 1), ("chars", 1), ("bytes", 1), ("char", 1), ("byte", 1),
                       ("charAt", 2), ("byteAt", 2), ("last", 2), ("isNum", 1)]),
    "ar": ("array.z", [("size", 1), ("remove", 3), ("insert", 2), ("swap", 3)]),
    "fi": ("file.z", [("create", 1), ("open", 1), ("close", 1), ("wln", 2), ("writes", 2), ("write", 4),
                     ("read", 4), ("rln", 2), ("rall", 2), ("list", 1), ("files", 1), ("dirs", 1),
                     ("info", 2), ("mkdir", 2), ("remove", 1), ("chmod", 2)]),
}
REF_ARGS = {("ar", "size"): [0], ("ar", "remove"): [0], ("ar", "insert"): [0], ("ar", "swap"): [0],
            ("fi", "read"): [1], ("fi", "rln"): [1], ("fi", "rall"): [1], ("fi", "info"): [1]}
CHANGING = {("sy", "time"), ("sy", "date"), ("ma", "rnd"), ("fi", "info")}
NUMERIC = ["x", "n", "k"]
TEXT = ["s", "y"]


class Gen:
    def __init__(self, rnd):
        self.r = rnd
        self.vars = ["x", "y", "z", "n", "k", "s", "r"]
        self.funcs = []
        self.depth = 0
        self.loops = 0

    def pick(self, seq):
        return self.r.choice(seq)

    def name(self):
        base = self.pick(self.vars)
        roll = self.r.random()
        if roll < 0.2:
            return base + "." + self.pick(["a", "b", "next", "v"])
        if roll < 0.35:
            return "%s[%s]" % (base, self.index())
        return base

    def index(self):
        return self.pick([str(self.r.randint(-2, 5)), "i", '"k"', '"a.b"', "n", "length(s)", "2147483647"])

    def number(self):
        return self.pick(["0", "1", "2", "3.5", "10", "255", "65536", "2147483648", "1e300".replace("e", "0"),
                          "0.1", "4294967296", str(self.r.randint(0, 1000))])

    def string(self):
        return '"%s"' % self.pick(["", "a", "abc", "hello world", "a.b", "12", "x y", "k", "%s", "\\n", "{}"])

    def num(self, depth=0):
        roll = self.r.random()
        if depth > 3 or roll < 0.35:
            return self.pick([self.number(), self.pick(NUMERIC), self.pick(NUMERIC), "z.a", "length(s)", "sizeof(z)"])
        if roll < 0.7:
            return "%s %s %s" % (self.num(depth + 1), self.pick("+-*/"), self.num(depth + 1))
        if roll < 0.8:
            return "(%s)" % self.num(depth + 1)
        if roll < 0.9:
            return "tonumber(%s)" % self.text(depth + 1)
        return self.expr(depth + 1)

    def text(self, depth=0):
        roll = self.r.random()
        if depth > 3 or roll < 0.4:
            return self.pick([self.string(), self.pick(TEXT), "tostring(%s)" % self.num(depth + 1)])
        if roll < 0.8:
            return "%s + %s" % (self.text(depth + 1), self.text(depth + 1))
        return self.expr(depth + 1)

    def expr(self, depth=0):
        roll = self.r.random()
        if roll < 0.4:
            return self.num(depth + 1) if roll < 0.25 else self.text(depth + 1)
        if depth > 3 or roll < 0.3:
            return self.pick([self.number(), self.string(), self.name(), self.name()])
        if roll < 0.55:
            return "%s %s %s" % (self.expr(depth + 1), self.pick("+-*/"), self.expr(depth + 1))
        if roll < 0.65:
            return "(%s)" % self.expr(depth + 1)
        if roll < 0.8:
            return "%s(%s)" % (self.pick(["tostring", "tonumber", "length", "sizeof", "defined", "isnumber",
                                          "isstring", "isfunction"]), self.name() if self.r.random() < 0.5 else self.expr(depth + 1))
        if roll < 0.9 and self.funcs:
            f, params = self.pick(self.funcs)
            return "%s(%s)" % (f, ", ".join(self.arg(k) for k in params))
        return self.libcall(depth)

    def arg(self, kind):
        return self.name() if kind == "r" else self.expr(2)

    def libcall(self, depth=3):
        lib = self.pick(sorted(LIBS))
        fn, count = self.pick(LIBS[lib][1])
        refs = REF_ARGS.get((lib, fn), [])
        args = [self.name() if i in refs else self.expr(depth + 1) for i in range(self.r.randint(max(0, count - 1), count))]
        return "%s.%s(%s)" % (lib, fn, ", ".join(args))

    def cond(self, depth=0):
        roll = self.r.random()
        if depth > 2 or roll < 0.6:
            return "%s %s %s" % (self.expr(2), self.pick(["=", "<>", "<", ">", "<=", ">="]), self.expr(2))
        if roll < 0.8:
            return "(%s) %s (%s)" % (self.cond(depth + 1), self.pick(["and", "or"]), self.cond(depth + 1))
        return "not (%s)" % self.cond(depth + 1)

    def block(self, n):
        self.depth += 1
        body = " ".join(self.stmt() for _ in range(n))
        self.depth -= 1
        return "{ %s }" % body

    def stmt(self):
        roll = self.r.random()
        small = self.depth > 2
        if roll < 0.1:
            return "%s = %s;" % (self.pick(NUMERIC), self.num())
        if roll < 0.15:
            return "%s = %s;" % (self.pick(TEXT), self.text())
        if roll < 0.2:
            return "%s = %s;" % (self.name(), self.expr())
        if roll < 0.27:
            if self.r.random() < 0.5:
                return "%s += %s;" % (self.pick(TEXT), self.text(2))
            return "%s %s %s;" % (self.pick(NUMERIC), self.pick(["+=", "-=", "*=", "/="]), self.num(2))
        if roll < 0.32:
            return self.pick(["%s++;", "%s--;", "++%s;", "--%s;"]) % self.pick(NUMERIC + ["z.a"])
        if roll < 0.4:
            src = self.pick([self.name(), self.name() + "()" if not self.funcs else "%s(%s)" % (
                self.funcs[0][0], ", ".join(self.arg(k) for k in self.funcs[0][1]))])
            return "%s := %s;" % (self.name(), src)
        if roll < 0.45:
            return "%s ref %s;" % (self.pick(self.vars), self.name())
        if roll < 0.48:
            return "%s %s;" % (self.pick(["unref", "delete"]), self.name())
        if roll < 0.58 and not small:
            text = "if (%s) %s" % (self.cond(), self.block(2))
            if self.r.random() < 0.5:
                text += " else if (%s) %s" % (self.cond(), self.block(1))
            if self.r.random() < 0.5:
                text += " else %s" % self.block(1)
            return text
        if roll < 0.64 and not small:
            self.loops += 1
            i = "i%d" % self.loops
            body = self.block(2)
            kind = self.r.random()
            if kind < 0.4:
                return "for (%s = 0, %d) %s" % (i, self.r.randint(0, 6), body)
            if kind < 0.6:
                return "for (%s : %s) %s" % (i, self.pick(self.vars), body)
            if kind < 0.8:
                return "%s = 0; while (%s < %d) { %s++; %s }" % (i, i, self.r.randint(1, 5), i, body[1:-1])
            return "%s = 0; do { %s++; %s } while (%s < %d);" % (i, i, body[1:-1], i, self.r.randint(1, 4))
        if roll < 0.7 and not small:
            fname = "fn%d" % len(self.funcs)
            params = [self.pick("vr") for _ in range(self.r.randint(0, 3))]
            plist = ", ".join(("ref p%d" if k == "r" else "p%d") % j for j, k in enumerate(params))
            saved = self.vars
            self.vars = ["p%d" % j for j in range(len(params))] + ["l", "self", "this"]
            body = " ".join(self.stmt() for _ in range(self.r.randint(1, 3)))
            if self.r.random() < 0.3:
                body = "extern x, y; " + body
            if self.r.random() < 0.3 and params:
                body += " if (p0 <> 0) { return this(%s); }" % ", ".join(
                    "p%d" % j if k == "r" else "0" for j, k in enumerate(params))
            body += " return %s;" % self.expr(2)
            self.vars = saved
            self.funcs.append((fname, params))
            return "%s = function (%s) { %s };" % (fname, plist, body)
        if roll < 0.8:
            return "%s;" % self.libcall() if self.r.random() < 0.7 else "r = %s;" % self.libcall()
        if roll < 0.85 and self.funcs:
            f, params = self.pick(self.funcs)
            return "%s(%s);" % (f, ", ".join(self.arg(k) for k in params))
        if roll < 0.88:
            return "debug(%d, %s);" % (self.r.randint(0, 1), self.pick(self.vars))
        if roll < 0.9 and self.r.random() < 0.2:
            return "exit(%s);" % self.pick(['"bye"', "3", '1, "one"'])
        return "%s.%s = %s;" % (self.pick(self.vars), self.pick(["a", "b", "next"]), self.expr(2))

    def program(self):
        lines = ['%s := import("%s");' % (alias, LIBS[alias][0]) for alias in sorted(LIBS) if self.r.random() < 0.7]
        lines += ["x = 1; y = \"a\"; z.a = 2; n = 3; k = 0; s = \"abc\"; r[0] = 1; r[1] = \"b\";"]
        lines += [self.stmt() for _ in range(self.r.randint(3, 12))]
        return "\n".join(lines) + "\n"


def main():
    args = [a for a in sys.argv[1:] if a != "--repeatable"]
    if len(args) < len(sys.argv) - 1:
        for lib, (_, functions) in LIBS.items():
            functions[:] = [f for f in functions if (lib, f[0]) not in CHANGING]
    out = args[0]
    count = int(args[1]) if len(args) > 1 else 200
    seed = int(args[2]) if len(args) > 2 else 1
    os.makedirs(out, exist_ok=True)
    rnd = random.Random(seed)
    for k in range(count):
        with open(os.path.join(out, "gen_%05d.z" % k), "w") as f:
            f.write(Gen(rnd).program())


if __name__ == "__main__":
    main()
