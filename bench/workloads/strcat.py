n = 1000000
# Building a string by appending two characters n times.


def main():
    text = ""
    for _ in range(n):
        text += "ab"
    print(len(text))


main()
