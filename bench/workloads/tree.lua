local n = 16
-- Records linked into a tree: builds a complete binary tree of depth n, then
-- walks it twice, counting the nodes and summing their values.
local function build(depth)
    local node = { value = depth }
    if depth > 0 then
        node.left = build(depth - 1)
        node.right = build(depth - 1)
    end
    return node
end

local function count(node)
    if node.value == 0 then return 1 end
    return 1 + count(node.left) + count(node.right)
end

local function total(node)
    if node.value == 0 then return 0 end
    return node.value + total(node.left) + total(node.right)
end

local root = build(n)
print(count(root))
print(total(root))
