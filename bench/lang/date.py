# 10^6 rounds of date arithmetic: a day on, and the days since the start
from datetime import date, timedelta
i = 0
start = date(2000, 1, 1)
d = start
n = 0
one = timedelta(days=1)
while i < 1000000:
    d = d + one
    n = (d - start).days
    i = i + 1
print(d, n)
