import functools
x = 1
b = []
for _ in range(1000000):
    x = (x * 75 + 74) % 65537
    b.append(x)
b.sort(key=functools.cmp_to_key(lambda a, c: -1 if a < c else (1 if a > c else 0)))
print(len(b))
