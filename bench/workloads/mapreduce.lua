local n = 400000
-- Function values: map, filter and reduce over an array of n numbers, each
-- step calling the function value it was given.
local function map(a, count, f)
    local out = {}
    for i = 0, count - 1 do out[i] = f(a[i]) end
    return out, count
end

local function filter(a, count, keep)
    local out, k = {}, 0
    for i = 0, count - 1 do
        if keep(a[i]) ~= 0 then out[k] = a[i]; k = k + 1 end
    end
    return out, k
end

local function fold(a, count, f, acc)
    for i = 0, count - 1 do acc = f(acc, a[i]) end
    return acc
end

local function square(x) return x * x end
local function small(x) if x < 10000000000 then return 1 end return 0 end
local function add(x, y) return x + y end

local a = {}
for i = 0, n - 1 do a[i] = i end
local b, nb = map(a, n, square)
local c, nc = filter(b, nb, small)
print(nc)
print(fold(c, nc, add, 0))
