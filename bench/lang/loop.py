i = 0
s = 0
while i < 10000000:
    s = s + 1
    i = i + 1
print(s)
