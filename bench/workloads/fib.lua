local n = 30
-- Recursive calls: fib(n) the naive way.
local function fib(k)
    if k < 2 then return k end
    return fib(k - 1) + fib(k - 2)
end
print(fib(n))
