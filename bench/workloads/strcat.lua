local n = 1000000
-- Building a string by appending two characters n times. Lua strings cannot
-- grow in place (text = text .. "ab" copies the whole text each time), so the
-- Lua idiom is used: collect the pieces and join them once.
local pieces = {}
for i = 1, n do
    pieces[i] = "ab"
end
local text = table.concat(pieces)
print(#text)
