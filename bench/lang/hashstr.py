h = set()
for i in range(1, 1000001): h.add(str(i))
n = 0
for i in range(1, 1000001):
    if str(i) in h: n += 1
print(len(h), n)
