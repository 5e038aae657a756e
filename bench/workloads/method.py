n = 1000000
# Method calls: a function member of a record that updates the record
# through self, called n times.


class Accumulator:
    def __init__(self):
        self.total = 0
        self.calls = 0

    def add(self, x):
        self.total += x
        self.calls += 1
        return self.calls


def main():
    acc = Accumulator()
    for i in range(n):
        acc.add(i)
    print(acc.total)
    print(acc.calls)


main()
