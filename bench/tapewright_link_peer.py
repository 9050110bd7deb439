#!/usr/bin/python3
"""The recording side of the link benchmark: round trips of single PrintProperty elements (the
player answers each with one line), then a burst of elements sent at once.
usage: tapewright_link_peer.py PORT ROUNDTRIPS BURST; prints 'median_ms elements_per_s'."""
import socket
import statistics
import sys
import time

port, roundtrips, burst = (int(a) for a in sys.argv[1:4])
peer = socket.create_connection(("127.0.0.1", port))
peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
element = b'    <PrintProperty name="/bench/edit" property="text" sleep="0"/>\n -+-*-+-*- \n'
reader = peer.makefile("rb")
latencies = []
for _ in range(roundtrips):
    start = time.perf_counter()
    peer.sendall(element)
    reader.readline()
    latencies.append((time.perf_counter() - start) * 1000)
start = time.perf_counter()
peer.sendall(element * burst)
for _ in range(burst):
    reader.readline()
rate = burst / (time.perf_counter() - start)
print(f"{statistics.median(latencies):.3f} {rate:.1f}", flush=True)
peer.close()
