n = 16
# Records linked into a tree: builds a complete binary tree of depth n, then
# walks it twice, counting the nodes and summing their values.


class Node:
    def __init__(self, value):
        self.value = value
        self.left = None
        self.right = None


def build(depth):
    node = Node(depth)
    if depth > 0:
        node.left = build(depth - 1)
        node.right = build(depth - 1)
    return node


def count(node):
    if node.value == 0:
        return 1
    return 1 + count(node.left) + count(node.right)


def total(node):
    if node.value == 0:
        return 0
    return node.value + total(node.left) + total(node.right)


root = build(n)
print(count(root))
print(total(root))
