local n = 40
-- Record trees built by returning them: n times, a function returns a
-- complete binary tree of depth 11 whose subtrees it got from calls to
-- itself; each tree is checked and dropped before the next.
local function make(d)
    local t = { v = d }
    if d > 0 then
        t.l = make(d - 1)
        t.r = make(d - 1)
    end
    return t
end

local function check(t)
    if t.v == 0 then return 1 end
    return 1 + check(t.l) + check(t.r)
end

local total = 0
for _ = 1, n do
    local tree = make(11)
    total = total + check(tree)
end
print(total)
