#!/usr/bin/python3
"""Checks the generated implant database: descriptions, SFFBin surfaces, pictures, short list.

Reads every file with its own parsers (not the generator's code), so that it checks the
files as the program will meet them.
"""

import argparse
import collections
import hashlib
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest

KEYS = ["name", "company", "reference", "comment", "length", "diameter", "shoulder", "surfacefile", "imagefile"]
RANGES = {"diameter": (3.3, 5.0), "length": (8.0, 16.0), "shoulder": (3.5, 6.0)}

ARGS = None


def read_ini(path):
    groups = {}
    group = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in ";#":
                continue
            if line.startswith("[") and line.endswith("]"):
                group = groups.setdefault(line[1:-1].strip(), {})
            elif "=" in line and group is not None:
                key, value = line.split("=", 1)
                group[key.strip()] = value.strip()
    return groups


def read_sffbin(path):
    """(positions, normals or None, triangles); raises AssertionError on a malformed file."""
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) >= 24, "%s: short header" % path
    assert data[:8] == b"SFFBIN\0\0", "%s: bad magic" % path
    version, vertices, triangles, flags = struct.unpack_from("<IIII", data, 8)
    assert version == 1, "%s: version %d" % (path, version)
    has_normals = bool(flags & 1)
    expected = 24 + vertices * 12 * (2 if has_normals else 1) + triangles * 12
    assert len(data) == expected, "%s: %d bytes, expected %d" % (path, len(data), expected)
    at = 24
    floats = struct.unpack_from("<%df" % (vertices * 3), data, at)
    positions = [floats[i:i + 3] for i in range(0, len(floats), 3)]
    at += vertices * 12
    normals = None
    if has_normals:
        floats = struct.unpack_from("<%df" % (vertices * 3), data, at)
        normals = [floats[i:i + 3] for i in range(0, len(floats), 3)]
        at += vertices * 12
    ints = struct.unpack_from("<%dI" % (triangles * 3), data, at)
    tris = [ints[i:i + 3] for i in range(0, len(ints), 3)]
    assert all(i < vertices for t in tris for i in t), "%s: index out of range" % path
    assert all(math.isfinite(c) for p in positions for c in p), "%s: non-finite position" % path
    return positions, normals, tris


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def read_bmp(path):
    """(width, height, rows top-down of (r, g, b) tuples) of a 24-bit uncompressed bitmap."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:2] == b"BM", "%s: not a bitmap" % path
    file_size, offset = struct.unpack_from("<I", data, 2)[0], struct.unpack_from("<I", data, 10)[0]
    assert file_size == len(data), "%s: size field %d, file %d" % (path, file_size, len(data))
    header, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    assert header >= 40 and planes == 1 and bits == 24 and compression == 0, "%s: unexpected format" % path
    assert width > 0 and height != 0
    row_bytes = (width * 3 + 3) // 4 * 4
    assert offset + row_bytes * abs(height) <= len(data), "%s: pixel data cut short" % path
    rows = []
    for y in range(abs(height)):
        stored = abs(height) - 1 - y if height > 0 else y
        start = offset + stored * row_bytes
        rows.append([(data[start + 3 * x + 2], data[start + 3 * x + 1], data[start + 3 * x]) for x in range(width)])
    return width, abs(height), rows


class Database:
    """Everything of one generated database folder, checked as it is read."""

    def __init__(self, test, root):
        self.test = test
        self.root = root
        self.descriptions = {}   # path -> keys of group Implantdata
        for folder, _, files in sorted(os.walk(root)):
            for name in sorted(files):
                if name.endswith(".implant"):
                    self.descriptions[os.path.join(folder, name)] = self.check_description(folder, name)

    def check_description(self, folder, name):
        t = self.test
        path = os.path.join(folder, name)
        base = name[: -len(".implant")]
        t.assertNotIn(".", base, path + ": the program lists only names with no other '.'")
        groups = read_ini(path)
        t.assertIn("Implantdata", groups, path)
        keys = groups["Implantdata"]
        for key in KEYS:
            t.assertIn(key, keys, "%s: key %s" % (path, key))
        for key in ("name", "company", "reference"):
            t.assertTrue(keys[key], "%s: empty %s" % (path, key))
        for key, (low, high) in RANGES.items():
            value = float(keys[key])
            t.assertTrue(low <= value <= high, "%s: %s %s outside %s..%s" % (path, key, value, low, high))
        t.assertEqual(keys["surfacefile"], base + ".sff", path)
        t.assertEqual(keys["imagefile"], base + ".bmp", path)
        for ext in (".sff", ".bmp"):
            t.assertTrue(os.path.isfile(os.path.join(folder, base + ext)), path + ": no " + ext)
        self.check_surface(os.path.join(folder, keys["surfacefile"]), keys)
        self.check_picture(os.path.join(folder, keys["imagefile"]), keys)
        return keys

    def check_surface(self, path, keys):
        t = self.test
        positions, normals, tris = read_sffbin(path)
        t.assertGreater(len(tris), 0, path)
        # Closed and consistently wound: every directed edge once, and its reverse once.
        edges = collections.Counter()
        for a, b, c in tris:
            t.assertTrue(a != b and b != c and a != c, path + ": degenerate triangle")
            edges.update([(a, b), (b, c), (c, a)])
        t.assertEqual(max(edges.values()), 1, path + ": an edge is used twice in one direction")
        for a, b in edges:
            t.assertIn((b, a), edges, path + ": open edge %d-%d" % (a, b))
        # Outward winding: the enclosed volume is positive and the shape fills it.
        volume = sum(dot(positions[a], cross(positions[b], positions[c])) for a, b, c in tris) / 6.0
        length, diameter, shoulder = (float(keys[k]) for k in ("length", "diameter", "shoulder"))
        outer = max(diameter, shoulder) / 2.0
        t.assertGreater(volume, 0.0, path + ": inward winding")
        t.assertLess(volume, math.pi * outer ** 2 * length, path)
        t.assertGreater(volume, 0.25 * math.pi * (diameter / 2.0) ** 2 * length, path)
        # Along the implant's axis: apex at z = 0, shoulder at z = length, round about z.
        zs = [p[2] for p in positions]
        radii = [math.hypot(p[0], p[1]) for p in positions]
        t.assertAlmostEqual(min(zs), 0.0, places=4, msg=path)
        t.assertAlmostEqual(max(zs), length, places=4, msg=path)
        t.assertAlmostEqual(max(radii), outer, places=4, msg=path)
        top = [r for p, r in zip(positions, radii) if abs(p[2] - length) < 1e-4 and r > 0]
        t.assertAlmostEqual(max(top), shoulder / 2.0, places=4, msg=path + ": shoulder")
        t.assertTrue(any(abs(r - diameter / 2.0) < 1e-4 for r in radii), path + ": no ring of the body diameter")
        if normals is not None:
            faces = collections.defaultdict(list)
            for a, b, c in tris:
                n = cross(sub(positions[b], positions[a]), sub(positions[c], positions[a]))
                for v in (a, b, c):
                    faces[v].append(n)
            for v, n in enumerate(normals):
                t.assertAlmostEqual(math.sqrt(dot(n, n)), 1.0, places=4, msg=path)
                t.assertTrue(all(dot(n, f) > 0 for f in faces[v]), path + ": normal %d points inward" % v)

    def check_picture(self, path, keys):
        t = self.test
        width, height, rows = read_bmp(path)
        drawn = [y for y, row in enumerate(rows) if any(sum(px) > 60 for px in row)]
        t.assertTrue(drawn, path + ": nothing drawn")
        columns = [x for x in range(width) if any(sum(rows[y][x]) > 60 for y in drawn)]
        # A side view: taller than wide, as the implant is, and at one scale for all pictures.
        extent_x, extent_y = columns[-1] - columns[0] + 1, drawn[-1] - drawn[0] + 1
        t.assertGreater(extent_y, extent_x, path)
        self.scale = getattr(self, "scale", [])
        self.scale.append((extent_y / float(keys["length"]), extent_x / max(float(keys["diameter"]),
                                                                             float(keys["shoulder"]))))

    def check_catalogue(self):
        t = self.test
        values = self.descriptions.values()
        t.assertGreaterEqual(len({d["company"] for d in values}), 3, "makers")
        t.assertGreaterEqual(len({(d["company"], d["name"]) for d in values}), 5, "families")
        for key, (low, high) in RANGES.items():
            numbers = {float(d[key]) for d in values}
            t.assertGreaterEqual(len(numbers), 4, key)
        t.assertEqual(min(float(d["diameter"]) for d in values), 3.3)
        t.assertEqual(max(float(d["diameter"]) for d in values), 5.0)
        t.assertEqual(min(float(d["length"]) for d in values), 8.0)
        t.assertEqual(max(float(d["length"]) for d in values), 16.0)
        # Every picture at one scale, within a pixel or two over the implant's size.
        vertical = [s[0] for s in self.scale]
        horizontal = [s[1] for s in self.scale]
        t.assertLess(max(vertical) - min(vertical), 2.5 / 8.0, "pictures are not at one scale")
        t.assertLess(max(horizontal) - min(horizontal), 3.0 / 3.3, "pictures are not at one scale")

    def check_selection(self):
        t = self.test
        with open(os.path.join(self.root, "selection.db"), encoding="utf-8") as f:
            text = f.read()
        t.assertTrue(text.endswith("\n"))
        lines = text.split("\n")[:-1]
        t.assertTrue(lines, "the short list is empty")
        t.assertEqual(len(lines), len(set(lines)))
        real_root = os.path.realpath(self.root)
        for line in lines:
            t.assertTrue(os.path.isabs(line), line)
            t.assertTrue(line.startswith(real_root + os.sep), line + ": outside the database")
            t.assertIn(line, {os.path.realpath(p) for p in self.descriptions}, line + ": not a listed description")


def snapshot(root):
    result = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                result[os.path.relpath(path, root)] = hashlib.sha256(f.read()).hexdigest()
    return result


def generate(outdir):
    return subprocess.run([sys.executable, ARGS.generator, outdir], capture_output=True, text=True)


class ImplantDatabaseTest(unittest.TestCase):
    def check(self, root):
        database = Database(self, root)
        self.assertGreater(len(database.descriptions), 20)
        database.check_catalogue()
        database.check_selection()

    def test_build_tree_database(self):
        self.assertTrue(os.path.isdir(ARGS.database), ARGS.database + " was not generated")
        self.check(ARGS.database)

    def test_generation_is_deterministic_and_replaces_only_a_database(self):
        with tempfile.TemporaryDirectory() as scratch:
            first, second = os.path.join(scratch, "a", "ImplantDatabase"), os.path.join(scratch, "b", "db")
            for outdir in (first, second):
                run = generate(outdir)
                self.assertEqual(run.returncode, 0, run.stderr)
            self.check(first)
            one, two = snapshot(first), snapshot(second)
            self.assertEqual(one.keys(), two.keys())
            self.assertEqual({k: v for k, v in one.items() if k != "selection.db"},
                             {k: v for k, v in two.items() if k != "selection.db"})
            with open(os.path.join(first, "selection.db")) as f1, open(os.path.join(second, "selection.db")) as f2:
                self.assertEqual(f1.read().replace(os.path.realpath(first), "ROOT"),
                                 f2.read().replace(os.path.realpath(second), "ROOT"))

            # Run again over the existing database: the same files, nothing left over.
            with open(os.path.join(first, "stale.implant"), "w") as f:
                f.write("[Implantdata]\n")
            self.assertEqual(generate(first).returncode, 0)
            self.assertEqual(snapshot(first), one)

            # A folder that is not a database is left alone.
            other = os.path.join(scratch, "other")
            os.makedirs(other)
            with open(os.path.join(other, "notes.txt"), "w") as f:
                f.write("keep")
            run = generate(other)
            self.assertNotEqual(run.returncode, 0)
            self.assertEqual(os.listdir(other), ["notes.txt"])
            self.assertFalse(os.path.exists(other + ".new"))
            self.assertNotEqual(generate(os.path.join(scratch, "other", "notes.txt")).returncode, 0)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--generator", required=True)
    parser.add_argument("--database", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
