n = 2000000
# The sieve of Eratosthenes: how many primes are below n.


def main():
    composite = [0] * n
    i = 2
    while i * i < n:
        if composite[i] == 0:
            j = i * i
            while j < n:
                composite[j] = 1
                j += i
        i += 1
    count = 0
    for i in range(2, n):
        if composite[i] == 0:
            count += 1
    print(count)


main()
