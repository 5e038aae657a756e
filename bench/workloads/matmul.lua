local n = 130
-- Multiplying two n x n matrices held as arrays of rows; prints the sum of
-- the product's elements and its last element.
local a, b, c = {}, {}, {}
for i = 0, n - 1 do
    a[i], b[i], c[i] = {}, {}, {}
    for j = 0, n - 1 do
        a[i][j] = i + j
        b[i][j] = i - j
    end
end
for i = 0, n - 1 do
    for j = 0, n - 1 do
        local sum = 0
        for k = 0, n - 1 do
            sum = sum + a[i][k] * b[k][j]
        end
        c[i][j] = sum
    end
end
local total = 0
for i = 0, n - 1 do
    for j = 0, n - 1 do
        total = total + c[i][j]
    end
end
print(total)
print(c[n - 1][n - 1])
