n = 130
# Multiplying two n x n matrices held as arrays of rows; prints the sum of
# the product's elements and its last element.


def main():
    a = [[i + j for j in range(n)] for i in range(n)]
    b = [[i - j for j in range(n)] for i in range(n)]
    c = [[0] * n for _ in range(n)]
    for i in range(n):
        for j in range(n):
            s = 0
            for k in range(n):
                s += a[i][k] * b[k][j]
            c[i][j] = s
    total = 0
    for i in range(n):
        for j in range(n):
            total += c[i][j]
    print(total)
    print(c[n - 1][n - 1])


main()
