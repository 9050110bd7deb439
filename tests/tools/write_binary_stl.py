#!/usr/bin/python3
"""Writes a binary STL of a 10 x 20 x 30 mm box (12 facets, outward normals) with numpy, so
that the STL reader is checked against a file made by an independent writer.
Usage: write_binary_stl.py OUTPUT [--truncate BYTES]"""
import sys

import numpy as np

corners = np.array([[0, 0, 0], [10, 0, 0], [10, 20, 0], [0, 20, 0],
                    [0, 0, 30], [10, 0, 30], [10, 20, 30], [0, 20, 30]], dtype=np.float64)
faces = [(0, 2, 1), (0, 3, 2), (4, 5, 6), (4, 6, 7), (0, 1, 5), (0, 5, 4),
         (3, 7, 6), (3, 6, 2), (0, 4, 7), (0, 7, 3), (1, 2, 6), (1, 6, 5)]

facet = np.dtype([("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("attribute", "<u2")])
data = np.zeros(len(faces), dtype=facet)
for i, (a, b, c) in enumerate(faces):
    p = corners[[a, b, c]]
    n = np.cross(p[1] - p[0], p[2] - p[0])
    data[i]["normal"] = n / np.linalg.norm(n)
    data[i]["corners"] = p

header = b"numpy box".ljust(80, b" ")
blob = header + np.uint32(len(faces)).astype("<u4").tobytes() + data.tobytes()
if len(sys.argv) > 3 and sys.argv[2] == "--truncate":
    blob = blob[: int(sys.argv[3])]
with open(sys.argv[1], "wb") as out:
    out.write(blob)
