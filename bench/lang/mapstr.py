m = {}
for i in range(1, 1000001): m[str(i)] = i
s = 0
for i in range(1, 1000001): s += m[str(i)]
print(len(m), s)
