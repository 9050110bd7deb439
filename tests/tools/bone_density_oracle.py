#!/usr/bin/python3
"""The bone density rule in numpy, as an oracle for the dialog's sampling:

  bone_density_oracle.py RAW NX NY NZ SX SY SZ DIAMETER LENGTH M0 ... M15

RAW holds uint16 voxels, x fastest; M is the implant's column-major transform. Prints the ring
count, the angle count, one ring value a line (repr) and the mean over the length ("n/a" when no
sample of the length lies inside the volume).
"""
import math
import sys
import time

import numpy as np


def main():
    a = sys.argv[1:]
    nx, ny, nz = (int(v) for v in a[1:4])
    s = np.array([float(v) for v in a[4:7]])
    diameter, length = float(a[7]), float(a[8])
    m = np.array([float(v) for v in a[9:25]]).reshape(4, 4).T  # column-major to rows
    volume = np.fromfile(a[0], dtype="<u2").reshape(nz, ny, nx)
    started = time.perf_counter()
    h = s.min() / 2.0
    n = int(30.0 / h)
    r = diameter / 2.0
    angles = int(2.0 * math.pi / math.asin(h / r)) if r > 0 and h / r <= 1 else 0
    z = np.array([i * 30.0 / n - 10.0 for i in range(n)])[:, None]
    t = np.array([2.0 * math.pi * j / angles for j in range(angles)])[None, :]
    x, y = r * np.cos(t), r * np.sin(t)
    p = [m[k, 0] * x + m[k, 1] * y + m[k, 2] * z + m[k, 3] for k in range(3)]
    extent = np.array([nx, ny, nz]) * s
    inside = np.ones(p[0].shape, bool)
    for k in range(3):
        inside &= (p[k] >= 0) & (p[k] < extent[k])
    index = [np.clip(np.where(inside, p[k], 0) / s[k], 0, dim - 1).astype(np.int64) for k, dim in
             enumerate((nx, ny, nz))]
    values = np.where(inside, volume[index[2], index[1], index[0]].astype(np.float64), 0.0)
    rings = values.sum(axis=1) / angles if angles else np.zeros(n)
    body = inside & (z >= 0) & (z <= length)
    print(f"sampling seconds {time.perf_counter() - started:.6f}", file=sys.stderr)
    print(n)
    print(angles)
    for v in rings:
        print(repr(float(v)))
    print(repr(float(values[body].sum() / body.sum())) if body.any() else "n/a")


if __name__ == "__main__":
    main()
