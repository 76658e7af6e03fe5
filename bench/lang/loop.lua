local i, s = 0, 0
while i < 10000000 do s = s + 1; i = i + 1 end
print(s)
