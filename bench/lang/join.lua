local t = {}
for i = 1, 1000000 do t[#t + 1] = tostring(i) end
print(#table.concat(t))
