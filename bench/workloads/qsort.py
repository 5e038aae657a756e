n = 40000
# Sorting records with a comparator: n records with a key and an id, from a
# fixed generator, sorted through an index array by a quicksort that calls
# a comparator function with the two records.


def cmp(a, b):
    if a["key"] < b["key"]:
        return -1
    if a["key"] > b["key"]:
        return 1
    if a["id"] < b["id"]:
        return -1
    if a["id"] > b["id"]:
        return 1
    return 0


def main():
    r = []
    seed = 42
    for i in range(n):
        seed = (seed * 16807) % 2147483647
        r.append({"key": seed % 1000, "id": i})
    idx = list(range(n))

    def sort(lo, hi):
        if lo >= hi:
            return
        mid = (lo + hi) // 2
        idx[mid], idx[hi] = idx[hi], idx[mid]
        p = idx[hi]
        s = lo
        for j in range(lo, hi):
            if cmp(r[idx[j]], r[p]) < 0:
                idx[s], idx[j] = idx[j], idx[s]
                s += 1
        idx[s], idx[hi] = idx[hi], idx[s]
        sort(lo, s - 1)
        sort(s + 1, hi)

    sort(0, n - 1)
    total = 0
    for i in range(n):
        total += i * r[idx[i]]["key"]
    print(r[idx[0]]["id"])
    print(r[idx[n - 1]]["id"])
    print(total)


main()
