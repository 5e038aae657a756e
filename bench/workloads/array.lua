local n = 2000000
-- Filling an array of n numbers by index, then summing it.
local a = {}
for i = 0, n - 1 do
    a[i] = i
end
local total = 0
for i = 0, n - 1 do
    total = total + a[i]
end
print(total)
