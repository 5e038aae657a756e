n = 10000
# A scheduler of records with methods: n tasks, each an object with its own
# state and a method step(); a round-robin queue runs them until every task
# has finished.


class Task:
    def __init__(self, id, work):
        self.id = id
        self.left = work
        self.acc = 0

    def step(self):
        self.acc += self.left * self.id
        self.left -= 1
        if self.left == 0:
            return 1
        return 0


def main():
    tasks = []
    queue = []
    for i in range(n):
        tasks.append(Task(i, (i * 37) % 100 + 1))
        queue.append(i)
    head = 0
    tail = 0
    alive = n
    steps = 0
    last = -1
    while alive > 0:
        k = queue[head]
        head += 1
        if head == n:
            head = 0
        steps += 1
        if tasks[k].step():
            alive -= 1
            last = k
        else:
            queue[tail] = k
            tail += 1
            if tail == n:
                tail = 0
    total = 0
    for t in tasks:
        total += t.acc
    print(steps)
    print(last)
    print(total)


main()
