local n = 80000
-- A scanner over generated text: every byte is read with string.byte, names
-- and numbers are cut out with string.sub, comments are skipped with find.
-- Positions count from 0 as in the other two; Lua's own start at 1.
local byte, sub, find = string.byte, string.sub, string.find
-- n lines in four kinds: assignments, comments, sums and lists.
local parts = {}
local a = 0
local b = 0
local kind = 0
for i = 0, n - 1 do
    if kind == 0 then
        parts[#parts + 1] = "alpha" .. a .. " = " .. b .. ";\n"
    elseif kind == 1 then
        parts[#parts + 1] = "# note " .. i .. " on alpha" .. a .. "\n"
    elseif kind == 2 then
        parts[#parts + 1] = "beta = alpha" .. a .. " + " .. b .. " * key;\n"
    else
        parts[#parts + 1] = "key=" .. b .. ", gamma" .. a .. ", 7;\n"
    end
    kind = kind + 1
    if kind == 4 then kind = 0 end
    a = a + 1
    if a == 97 then a = 0 end
    b = b + 37
    if b >= 1000 then b = b - 1000 end
end
local text = table.concat(parts)
local size = #text
local names = 0
local nameBytes = 0
local keys = 0
local numbers = 0
local sum = 0
local comments = 0
local others = 0
local pos = 0
while pos < size do
    local c = byte(text, pos + 1)
    if c == 35 then
        comments = comments + 1
        pos = find(text, "\n", pos + 1, true)
    elseif c >= 97 and c <= 122 then
        local start = pos
        pos = pos + 1
        c = byte(text, pos + 1)
        while c >= 97 and c <= 122 or c >= 48 and c <= 57 do
            pos = pos + 1
            c = byte(text, pos + 1)
        end
        local w = sub(text, start + 1, pos)
        names = names + 1
        nameBytes = nameBytes + #w
        if w == "key" then keys = keys + 1 end
    elseif c >= 48 and c <= 57 then
        local start = pos
        pos = pos + 1
        c = byte(text, pos + 1)
        while c >= 48 and c <= 57 do
            pos = pos + 1
            c = byte(text, pos + 1)
        end
        numbers = numbers + 1
        sum = sum + tonumber(sub(text, start + 1, pos))
    else
        if c ~= 32 and c ~= 10 then others = others + 1 end
        pos = pos + 1
    end
end
print("bytes " .. size)
print("names " .. names .. " " .. nameBytes .. " keys " .. keys)
print("numbers " .. numbers .. " sum " .. sum)
print("comments " .. comments .. " others " .. others)
