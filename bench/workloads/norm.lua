local n = 120
-- A numeric kernel of small calls: the norm of an infinite matrix
-- cut to n x n, by ten steps of the power method, where every element is a
-- call of a function and every product a call per row.
local function at(i, j) return 1 / ((i + j) * (i + j + 1) / 2 + i + 1) end

local function timesA(v, out, n)
    for i = 0, n - 1 do
        local s = 0
        for j = 0, n - 1 do s = s + at(i, j) * v[j] end
        out[i] = s
    end
end

local function timesAt(v, out, n)
    for i = 0, n - 1 do
        local s = 0
        for j = 0, n - 1 do s = s + at(j, i) * v[j] end
        out[i] = s
    end
end

local function timesAtA(v, out, n)
    local tmp = {}
    timesA(v, tmp, n)
    timesAt(tmp, out, n)
end

local u, v = {}, {}
for i = 0, n - 1 do u[i] = 1 end
for _ = 1, 10 do
    timesAtA(u, v, n)
    timesAtA(v, u, n)
end
local vbv, vv = 0, 0
for i = 0, n - 1 do
    vbv = vbv + u[i] * v[i]
    vv = vv + v[i] * v[i]
end
print(math.floor(math.sqrt(vbv / vv) * 1000000000))
