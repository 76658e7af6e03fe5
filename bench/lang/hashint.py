h = set()
for i in range(1, 1000001): h.add(i)
n = 0
for i in range(1, 1000001):
    if i in h: n += 1
print(len(h), n)
