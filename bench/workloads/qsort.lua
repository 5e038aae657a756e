local n = 40000
-- Sorting records with a comparator: n records with a key and an id, from a
-- fixed generator, sorted through an index array by a quicksort that calls
-- a comparator function with the two records.
local function cmp(a, b)
    if a.key < b.key then return -1 end
    if a.key > b.key then return 1 end
    if a.id < b.id then return -1 end
    if a.id > b.id then return 1 end
    return 0
end

local r, idx = {}, {}
local seed = 42
for i = 0, n - 1 do
    seed = (seed * 16807) % 2147483647
    r[i] = { key = seed % 1000, id = i }
    idx[i] = i
end

local function sort(lo, hi)
    if lo >= hi then return end
    local mid = (lo + hi) // 2
    idx[mid], idx[hi] = idx[hi], idx[mid]
    local p = idx[hi]
    local s = lo
    for j = lo, hi - 1 do
        if cmp(r[idx[j]], r[p]) < 0 then
            idx[s], idx[j] = idx[j], idx[s]
            s = s + 1
        end
    end
    idx[s], idx[hi] = idx[hi], idx[s]
    sort(lo, s - 1)
    sort(s + 1, hi)
end

sort(0, n - 1)
local total = 0
for i = 0, n - 1 do total = total + i * r[idx[i]].key end
print(r[idx[0]].id)
print(r[idx[n - 1]].id)
print(total)
