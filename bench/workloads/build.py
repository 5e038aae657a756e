n = 40
# Record trees built by returning them: n times, a function returns a
# complete binary tree of depth 11 whose subtrees it got from calls to
# itself; each tree is checked and dropped before the next.


def make(d):
    t = {"v": d}
    if d > 0:
        t["l"] = make(d - 1)
        t["r"] = make(d - 1)
    return t


def check(t):
    if t["v"] == 0:
        return 1
    return 1 + check(t["l"]) + check(t["r"])


def main():
    total = 0
    for _ in range(n):
        tree = make(11)
        total += check(tree)
    print(total)


main()
