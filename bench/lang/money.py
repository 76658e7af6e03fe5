# 10^6 rounds of decimal arithmetic: add, multiply by an integer, divide cut to 5 fraction digits
from decimal import Decimal, ROUND_DOWN
i = 0
s = Decimal("0")
q = Decimal("0")
step = Decimal("0.01")
unit = Decimal("0.00001")
while i < 1000000:
    s = s + step
    q = (s * 3 / 7).quantize(unit, rounding=ROUND_DOWN)
    i = i + 1
print("$%.2f $%s" % (s, q))
