x = 1
b = []
for _ in range(500000):
    x = (x * 75 + 74) % 65537
    y = (x * 75 + 74) % 65537
    b.append((x, y))
    x = y
b.sort(key=lambda r: r[0])
print(len(b) * 2)
