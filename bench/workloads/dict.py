n = 250000
# A dictionary of n string keys: stores n entries under keys made from
# numbers, reads every one back, deletes every third and counts what is
# left.


def main():
    d = {}
    for i in range(n):
        d["k" + str(i * 7 + 3)] = i
    total = 0
    for i in range(n):
        total += d["k" + str(i * 7 + 3)]
    for i in range(0, n, 3):
        del d["k" + str(i * 7 + 3)]
    left = 0
    for i in range(n):
        if "k" + str(i * 7 + 3) in d:
            left += 1
    print(total)
    print(left)


main()
