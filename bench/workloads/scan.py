n = 80000
# A scanner over generated text: every byte is read by its code, names and
# numbers are cut out with slices, comments are skipped with find.


def main():
    # n lines in four kinds: assignments, comments, sums and lists.
    parts = []
    a = 0
    b = 0
    kind = 0
    for i in range(n):
        if kind == 0:
            parts.append("alpha" + str(a) + " = " + str(b) + ";\n")
        elif kind == 1:
            parts.append("# note " + str(i) + " on alpha" + str(a) + "\n")
        elif kind == 2:
            parts.append("beta = alpha" + str(a) + " + " + str(b) + " * key;\n")
        else:
            parts.append("key=" + str(b) + ", gamma" + str(a) + ", 7;\n")
        kind += 1
        if kind == 4:
            kind = 0
        a += 1
        if a == 97:
            a = 0
        b += 37
        if b >= 1000:
            b -= 1000
    text = "".join(parts)
    size = len(text)
    names = 0
    name_bytes = 0
    keys = 0
    numbers = 0
    total = 0
    comments = 0
    others = 0
    pos = 0
    while pos < size:
        c = ord(text[pos])
        if c == 35:
            comments += 1
            pos = text.find("\n", pos) + 1
        elif 97 <= c <= 122:
            start = pos
            pos += 1
            c = ord(text[pos])
            while 97 <= c <= 122 or 48 <= c <= 57:
                pos += 1
                c = ord(text[pos])
            w = text[start:pos]
            names += 1
            name_bytes += len(w)
            if w == "key":
                keys += 1
        elif 48 <= c <= 57:
            start = pos
            pos += 1
            c = ord(text[pos])
            while 48 <= c <= 57:
                pos += 1
                c = ord(text[pos])
            numbers += 1
            total += int(text[start:pos])
        else:
            if c != 32 and c != 10:
                others += 1
            pos += 1
    print("bytes " + str(size))
    print("names " + str(names) + " " + str(name_bytes) + " keys " + str(keys))
    print("numbers " + str(numbers) + " sum " + str(total))
    print("comments " + str(comments) + " others " + str(others))


main()
