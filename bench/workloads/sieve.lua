local n = 2000000
-- The sieve of Eratosthenes: how many primes are below n.
local composite = {}
for i = 0, n - 1 do
    composite[i] = 0
end
local i = 2
while i * i < n do
    if composite[i] == 0 then
        local j = i * i
        while j < n do
            composite[j] = 1
            j = j + i
        end
    end
    i = i + 1
end
local count = 0
for k = 2, n - 1 do
    if composite[k] == 0 then count = count + 1 end
end
print(count)
