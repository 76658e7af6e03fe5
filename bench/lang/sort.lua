local x, b = 1, {}
for k = 1, 1000000 do x = (x * 75 + 74) % 65537; b[k] = x end
table.sort(b)
print(#b)
