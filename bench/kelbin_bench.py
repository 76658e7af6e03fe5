#!/usr/bin/env python3
# python3's pickle on the structure of kel_bench's binary value codec benchmarks
# (kelbin_bench.cpp): 20000 records of an integer, a float, a string, a word (a string here), a
# list of three integers, a date and two bytes. Prints milliseconds per dumps and loads and the
# pickled size.
import datetime
import pickle
import time

data = [[i, i + 0.5, f"name-{i}", f"word-{i % 100}", [1, 2, 3], datetime.date(2026, 12, 10),
         b"\x01\x02"] for i in range(20000)]

def per_call(fn, arg, seconds=1.0):
    runs, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        fn(arg)
        runs += 1
    return (time.perf_counter() - start) / runs * 1000

blob = pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL)
print(f"python3 pickle dumps {per_call(lambda d: pickle.dumps(d, protocol=pickle.HIGHEST_PROTOCOL), data):7.2f} ms"
      f"   loads {per_call(pickle.loads, blob):7.2f} ms   bytes {len(blob)}")
