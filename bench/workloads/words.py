n = 30000
# Text processing: generates n lines of twelve words, splits every line into
# words and counts each word in a record keyed by the word.


def main():
    vocabulary = ("time year people way day man thing woman life child world school state family student group country problem hand part place case week company").split(" ")
    vocabulary += ("system program question work government number night point home water room mother area money story fact month lot right study book eye job business").split(" ")
    size = len(vocabulary)
    # Pick words by a stepping index whose step cycles from 1 to 31.
    k = 0
    step = 1
    text = []
    for i in range(n):
        line = ""
        for w in range(1, 13):
            k += step
            while k >= size:
                k -= size
            step += 1
            if step > 31:
                step = 1
            if w == 1:
                line = vocabulary[k]
            else:
                line += " " + vocabulary[k]
        text.append(line)
    words = 0
    counts = {}
    for line in text:
        for w in line.split(" "):
            counts[w] = counts.get(w, 0) + 1
            words += 1
    print(words)
    for w in vocabulary:
        print(w + " " + str(counts[w]))


main()
