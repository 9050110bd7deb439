#!/usr/bin/python3
"""Reference values for the panoramic line test, computed with shapely.

Input (argv[1]): blocks separated by blank lines; per block the lines
  "corner x y", "point x y", "offset s".
Output (argv[2]): per block the lines
  "length L", "right x y" / "left x y" (the mitred offset curves at the half width given
  as argv[3]), "project s d" (distance along the curve and distance to it for each point),
  "interpolate x y" for each offset, then a blank line.
Numbers are written with repr, so they round-trip exactly.
"""
import sys
from shapely.geometry import LineString, Point


def curve(line, distance, side):
    offset = line.parallel_offset(distance, side, join_style=2, mitre_limit=1e6)
    if offset.geom_type != "LineString":
        raise SystemExit("offset curve is not one line: " + offset.geom_type)
    coords = list(offset.coords)
    start = Point(line.coords[0])
    if Point(coords[0]).distance(start) > Point(coords[-1]).distance(start):
        coords.reverse()
    return coords


def main():
    source, target, half_width = sys.argv[1], sys.argv[2], float(sys.argv[3])
    blocks = [b for b in open(source).read().split("\n\n") if b.strip()]
    out = []
    for block in blocks:
        corners, points, offsets = [], [], []
        for row in block.splitlines():
            kind, *values = row.split()
            values = [float(v) for v in values]
            {"corner": corners, "point": points, "offset": offsets}[kind].append(values)
        line = LineString(corners)
        out.append("length %r" % line.length)
        for side in ("right", "left"):
            for x, y in curve(line, half_width, side):
                out.append("%s %r %r" % (side, x, y))
        for x, y in points:
            p = Point(x, y)
            out.append("project %r %r" % (line.project(p), line.distance(p)))
        for (s,) in offsets:
            q = line.interpolate(s)
            out.append("interpolate %r %r" % (q.x, q.y))
        out.append("")
    with open(target, "w") as f:
        f.write("\n".join(out) + "\n")


main()
