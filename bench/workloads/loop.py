n = 10000000
# A bare while loop: compare, add, increment.


def main():
    i = 0
    total = 0
    while i < n:
        total += i
        i += 1
    print(total)


main()
