local n = 40000
-- String scanning through library calls: builds n lines "k<i>=<value>; w w w w w",
-- finds the '=' and the ';' with string.find, reads the number digit by digit
-- with string.byte, cuts out every word with string.sub and counts the words
-- and their bytes.
local vocabulary = {}
for w in ("alpha beta gamma delta epsilon zeta eta theta iota kappa"):gmatch("[^ ]+") do
    vocabulary[#vocabulary + 1] = w
end
local counts = {}
local k = 0
local sum = 0
local words = 0
local bytes = 0
for i = 0, n - 1 do
    local line = "k" .. i .. "=" .. (i * 7 + 3) .. ";"
    for w = 1, 6 do
        k = k + w
        while k >= 10 do k = k - 10 end
        line = line .. " " .. vocabulary[k + 1]
    end
    -- positions from 0, as in the other two
    local eq = string.find(line, "=", 1, true) - 1
    local semi = string.find(line, ";", eq + 1, true) - 1
    local v = 0
    for p = eq + 1, semi - 1 do
        v = v * 10 + string.byte(line, p + 1) - 48
    end
    sum = sum + v
    local size = #line
    local start = -1
    for p = semi + 1, size do
        local b = 32
        if p < size then b = string.byte(line, p + 1) end
        if b == 32 then
            if start >= 0 then
                local word = string.sub(line, start + 1, p)
                counts[word] = (counts[word] or 0) + 1
                words = words + 1
                start = -1
            end
        else
            bytes = bytes + b
            if start < 0 then start = p end
        end
    end
end
print(sum)
print(words)
print(bytes)
for i = 1, 10 do
    local w = vocabulary[i]
    print(w .. " " .. counts[w])
end
