n = 40000
# String scanning through library calls: builds n lines "k<i>=<value>; w w w w w",
# finds the '=' and the ';' with find, reads the number digit by digit with
# the byte values, cuts out every word with a slice and counts the words and
# their bytes.


def main():
    vocabulary = "alpha beta gamma delta epsilon zeta eta theta iota kappa".split(" ")
    counts = {}
    k = 0
    total = 0
    words = 0
    nbytes = 0
    for i in range(n):
        line = "k" + str(i) + "=" + str(i * 7 + 3) + ";"
        for w in range(1, 7):
            k += w
            while k >= 10:
                k -= 10
            line += " " + vocabulary[k]
        eq = line.find("=")
        semi = line.find(";", eq)
        v = 0
        for p in range(eq + 1, semi):
            v = v * 10 + ord(line[p]) - 48
        total += v
        size = len(line)
        start = -1
        for p in range(semi + 1, size + 1):
            b = 32
            if p < size:
                b = ord(line[p])
            if b == 32:
                if start >= 0:
                    word = line[start:p]
                    counts[word] = counts.get(word, 0) + 1
                    words += 1
                    start = -1
            else:
                nbytes += b
                if start < 0:
                    start = p
    print(total)
    print(words)
    print(nbytes)
    for w in vocabulary:
        print(w + " " + str(counts[w]))


main()
