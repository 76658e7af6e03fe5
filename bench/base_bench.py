#!/usr/bin/env python3
# python3's base64 module on the inputs of kel_bench's base codec benchmarks (base_bench.cpp):
# base 16 and base 64 of 1 MB of random bytes, in MB/s of binary data. Python has no base 58 in
# its standard library, so that row is not measured here.
import base64
import os
import time

def rate(fn, arg, size, seconds=1.0):
    runs, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        fn(arg)
        runs += 1
    return runs * size / (time.perf_counter() - start) / 2**20

data = os.urandom(1 << 20)
for name, enc, dec in (("base16", base64.b16encode, base64.b16decode),
                       ("base64", base64.b64encode, base64.b64decode)):
    text = enc(data)
    print(f"python3 {name} encode {rate(enc, data, len(data)):8.1f} MB/s   "
          f"decode {rate(dec, text, len(data)):8.1f} MB/s")
