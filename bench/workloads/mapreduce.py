n = 400000
# Function values: map, filter and reduce over an array of n numbers, each
# step calling the function value it was given.


def map_(a, f):
    out = []
    for x in a:
        out.append(f(x))
    return out


def filter_(a, keep):
    out = []
    for x in a:
        if keep(x):
            out.append(x)
    return out


def fold(a, f, acc):
    for x in a:
        acc = f(acc, x)
    return acc


def square(x):
    return x * x


def small(x):
    if x < 10000000000:
        return 1
    return 0


def add(x, y):
    return x + y


def main():
    a = list(range(n))
    b = map_(a, square)
    c = filter_(b, small)
    print(len(c))
    print(fold(c, add, 0))


main()
