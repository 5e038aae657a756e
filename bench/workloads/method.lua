local n = 1000000
-- Method calls: a function member of a record that updates the record
-- through self, called n times.
local acc = { total = 0, calls = 0 }
function acc:add(x)
    self.total = self.total + x
    self.calls = self.calls + 1
    return self.calls
end
for i = 0, n - 1 do
    acc:add(i)
end
print(acc.total)
print(acc.calls)
