x = 1
b = []
for _ in range(1000000):
    x = (x * 75 + 74) % 65537
    b.append(x)
b.sort()
print(len(b))
