n = 2000000
# Filling an array of n numbers by index, then summing it.


def main():
    a = [0] * n
    for i in range(n):
        a[i] = i
    total = 0
    for i in range(n):
        total += a[i]
    print(total)


main()
