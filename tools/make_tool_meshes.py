#!/usr/bin/python3
"""Writes the meshes the views draw into FOLDER ("Data/Meshes/" beside the program):

  Digit0.sff .. Digit9.sff  seven-segment digits, closed boxes per segment; width along x from 0,
                            height along z from 0 to 100 (7 mm at the 3D view's scale 0.07),
                            depth along y centred on 0
  Handpiece.sff             a contra-angle head around the drill axis with its handle along +z
  Drill.sff                 a 2 mm drill along -x of the drill origin, 20 mm to its conical tip

  make_tool_meshes.py FOLDER

All meshes are closed and wound counter-clockwise seen from outside, in SFFBin with normals.
"""
import math
import os
import struct
import sys

WIDTH, HEIGHT, STROKE, DEPTH = 60.0, 100.0, 14.0, 14.0

# Segment boxes (x0, x1, z0, z1): top, upper right, lower right, bottom, lower left, upper left,
# middle. The verticals run half the height and overlap the bars.
SEGMENTS = {
    "a": (0.0, WIDTH, HEIGHT - STROKE, HEIGHT),
    "b": (WIDTH - STROKE, WIDTH, HEIGHT / 2, HEIGHT),
    "c": (WIDTH - STROKE, WIDTH, 0.0, HEIGHT / 2),
    "d": (0.0, WIDTH, 0.0, STROKE),
    "e": (0.0, STROKE, 0.0, HEIGHT / 2),
    "f": (0.0, STROKE, HEIGHT / 2, HEIGHT),
    "g": (0.0, WIDTH, (HEIGHT - STROKE) / 2, (HEIGHT + STROKE) / 2),
}
DIGITS = ["abcdef", "bc", "abged", "abgcd", "fgbc", "afgcd", "afgedc", "abc", "abcdefg", "abcdfg"]


class Mesh:
    def __init__(self):
        self.positions, self.normals, self.triangles = [], [], []

    def vertex(self, p, n):
        self.positions.append(p)
        self.normals.append(n)
        return len(self.positions) - 1

    def quad(self, corners, normal):
        """A flat quad; corners counter-clockwise seen from the normal's side."""
        i = [self.vertex(c, normal) for c in corners]
        self.triangles += [(i[0], i[1], i[2]), (i[0], i[2], i[3])]

    def box(self, lo, hi):
        (x0, y0, z0), (x1, y1, z1) = lo, hi
        self.quad([(x0, y0, z0), (x0, y1, z0), (x1, y1, z0), (x1, y0, z0)], (0, 0, -1))
        self.quad([(x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)], (0, 0, 1))
        self.quad([(x0, y0, z0), (x1, y0, z0), (x1, y0, z1), (x0, y0, z1)], (0, -1, 0))
        self.quad([(x0, y1, z0), (x0, y1, z1), (x1, y1, z1), (x1, y1, z0)], (0, 1, 0))
        self.quad([(x0, y0, z0), (x0, y0, z1), (x0, y1, z1), (x0, y1, z0)], (-1, 0, 0))
        self.quad([(x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1)], (1, 0, 0))

    def revolve(self, rings, frame, segments=24):
        """A closed surface of revolution: rings (radius, distance along the axis), flat caps.

        frame is (origin, axis, u, v) with unit, right-handed (u, v, axis).
        """
        origin, axis, u, v = frame

        def point(r, t, a):
            c, s = math.cos(a), math.sin(a)
            return tuple(origin[k] + axis[k] * t + r * (c * u[k] + s * v[k]) for k in range(3))

        def radial(a, slope):
            c, s = math.cos(a), math.sin(a)
            n = [c * u[k] + s * v[k] - slope * axis[k] for k in range(3)]
            length = math.sqrt(sum(x * x for x in n))
            return tuple(x / length for x in n)

        angles = [2 * math.pi * j / segments for j in range(segments)]
        for (r0, t0), (r1, t1) in zip(rings, rings[1:]):
            slope = (r1 - r0) / (t1 - t0)
            for j, a in enumerate(angles):
                b = angles[(j + 1) % segments]
                i = [self.vertex(point(r0, t0, a), radial(a, slope)), self.vertex(point(r0, t0, b), radial(b, slope)),
                     self.vertex(point(r1, t1, b), radial(b, slope)), self.vertex(point(r1, t1, a), radial(a, slope))]
                self.triangles += [(i[0], i[1], i[2]), (i[0], i[2], i[3])]
        for (r, t), sign in ((rings[0], -1), (rings[-1], 1)):
            if r <= 0:
                continue
            n = tuple(sign * x for x in axis)
            centre = self.vertex(point(0, t, 0), n)
            rim = [self.vertex(point(r, t, a), n) for a in angles]
            for j in range(segments):
                a, b = rim[j], rim[(j + 1) % segments]
                self.triangles.append((centre, a, b) if sign > 0 else (centre, b, a))

    def sffbin(self):
        header = b"SFFBIN\0\0" + struct.pack("<IIII", 1, len(self.positions), len(self.triangles), 1)
        floats = [c for p in self.positions for c in p] + [c for n in self.normals for c in n]
        return (header + struct.pack("<%df" % len(floats), *floats)
                + struct.pack("<%dI" % (3 * len(self.triangles)), *[i for t in self.triangles for i in t]))


def digit(segments):
    mesh = Mesh()
    for name in segments:
        x0, x1, z0, z1 = SEGMENTS[name]
        mesh.box((x0, -DEPTH / 2, z0), (x1, DEPTH / 2, z1))
    return mesh


def handpiece():
    mesh = Mesh()
    # Head: around the drill axis (x), from the origin backwards.
    mesh.revolve([(5.5, 0.0), (5.5, 12.0)], ((0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)))
    # Handle: from the head along +z, widening.
    mesh.revolve([(4.0, 5.0), (6.0, 30.0), (8.0, 100.0)], ((6, 0, 0), (0, 0, 1), (1, 0, 0), (0, 1, 0)))
    return mesh


def drill():
    mesh = Mesh()
    # Along -x: (u, v, axis) = (z, y, -x) is right-handed.
    mesh.revolve([(1.0, 0.0), (1.0, 19.0), (0.0, 20.0)], ((0, 0, 0), (-1, 0, 0), (0, 0, 1), (0, 1, 0)))
    return mesh


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    meshes = {"Digit%d.sff" % d: digit(s) for d, s in enumerate(DIGITS)}
    meshes["Handpiece.sff"] = handpiece()
    meshes["Drill.sff"] = drill()
    for name, mesh in meshes.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(mesh.sffbin())


if __name__ == "__main__":
    main()
