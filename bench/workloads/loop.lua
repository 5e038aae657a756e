local n = 10000000
-- A bare while loop: compare, add, increment.
local i = 0
local total = 0
while i < n do
    total = total + i
    i = i + 1
end
print(total)
