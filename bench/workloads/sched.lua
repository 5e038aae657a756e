local n = 10000
-- A scheduler of records with methods: n tasks, each a table with its own
-- state and a method step(); a round-robin queue runs them until every task
-- has finished.
local function make(id, work)
    local t = { id = id, left = work, acc = 0 }
    function t:step()
        self.acc = self.acc + self.left * self.id
        self.left = self.left - 1
        if self.left == 0 then return 1 end
        return 0
    end
    return t
end

local tasks, queue = {}, {}
for i = 0, n - 1 do
    tasks[i] = make(i, (i * 37) % 100 + 1)
    queue[i] = i
end
local head, tail, alive, steps, last = 0, 0, n, 0, -1
while alive > 0 do
    local k = queue[head]
    head = head + 1
    if head == n then head = 0 end
    steps = steps + 1
    if tasks[k]:step() ~= 0 then
        alive = alive - 1
        last = k
    else
        queue[tail] = k
        tail = tail + 1
        if tail == n then tail = 0 end
    end
end
local total = 0
for i = 0, n - 1 do total = total + tasks[i].acc end
print(steps)
print(last)
print(total)
