n = 120
# A numeric kernel of small calls: the norm of an infinite matrix
# cut to n x n, by ten steps of the power method, where every element is a
# call of a function and every product a call per row.
import math


def at(i, j):
    return 1 / ((i + j) * (i + j + 1) / 2 + i + 1)


def times_a(v, out, n):
    for i in range(n):
        s = 0
        for j in range(n):
            s += at(i, j) * v[j]
        out[i] = s


def times_at(v, out, n):
    for i in range(n):
        s = 0
        for j in range(n):
            s += at(j, i) * v[j]
        out[i] = s


def times_ata(v, out, n):
    tmp = [0] * n
    times_a(v, tmp, n)
    times_at(tmp, out, n)


def main():
    u = [1] * n
    v = [0] * n
    for _ in range(10):
        times_ata(u, v, n)
        times_ata(v, u, n)
    vbv = 0
    vv = 0
    for i in range(n):
        vbv += u[i] * v[i]
        vv += v[i] * v[i]
    print(math.floor(math.sqrt(vbv / vv) * 1000000000))


main()
