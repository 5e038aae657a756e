local n = 30000
-- Text processing: generates n lines of twelve words, splits every line into
-- words and counts each word in a record keyed by the word.
local vocabulary = {}
for w in ("time year people way day man thing woman life child world school state family student group country problem hand part place case week company"):gmatch("[^ ]+") do
    vocabulary[#vocabulary + 1] = w
end
for w in ("system program question work government number night point home water room mother area money story fact month lot right study book eye job business"):gmatch("[^ ]+") do
    vocabulary[#vocabulary + 1] = w
end
local size = #vocabulary
-- Pick words by a stepping index whose step cycles from 1 to 31.
local k = 0
local step = 1
local text = {}
for i = 1, n do
    local line = ""
    for w = 1, 12 do
        k = k + step
        while k >= size do k = k - size end
        step = step + 1
        if step > 31 then step = 1 end
        if w == 1 then
            line = vocabulary[k + 1]
        else
            line = line .. " " .. vocabulary[k + 1]
        end
    end
    text[i] = line
end
local words = 0
local counts = {}
for i = 1, n do
    for w in text[i]:gmatch("[^ ]+") do
        counts[w] = (counts[w] or 0) + 1
        words = words + 1
    end
end
print(words)
for i = 1, size do
    local w = vocabulary[i]
    print(w .. " " .. counts[w])
end
