n = 30
# Recursive calls: fib(n) the naive way.


def fib(k):
    if k < 2:
        return k
    return fib(k - 1) + fib(k - 2)


print(fib(n))
