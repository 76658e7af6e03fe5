#!/usr/bin/env python3
# python3's zlib.crc32 and hashlib.sha256 on the data of bench/checksum.kel: 16 MiB made of one
# 16-byte pattern, each digest taken repeatedly for about a second. Prints "<method> <MB/s>".
import hashlib
import time
import zlib

data = bytes.fromhex("00112233445566778899AABBCCDDEEFF") * (1 << 20)

def rate(fn, seconds=1.0):
    runs, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        fn(data)
        runs += 1
    return runs * len(data) / (time.perf_counter() - start) / 2**20

print(f"crc32 {rate(zlib.crc32):.1f}")
print(f"sha256 {rate(lambda d: hashlib.sha256(d).digest()):.1f}")
