local n = 250000
-- A dictionary of n string keys: stores n entries under keys made from
-- numbers, reads every one back, deletes every third and counts what is
-- left.
local d = {}
for i = 0, n - 1 do d["k" .. (i * 7 + 3)] = i end
local sum = 0
for i = 0, n - 1 do sum = sum + d["k" .. (i * 7 + 3)] end
for i = 0, n - 1, 3 do d["k" .. (i * 7 + 3)] = nil end
local left = 0
for i = 0, n - 1 do
    if d["k" .. (i * 7 + 3)] ~= nil then left = left + 1 end
end
print(sum)
print(left)
