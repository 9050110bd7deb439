#!/usr/bin/python3
"""Writes the implant database the program browses: make_implant_database.py <outdir>

For every implant of a small fictional catalogue it writes, in <outdir>/<Company>/<Family>/,
a description "<base>.implant" (ini group "Implantdata"), its surface "<base>.sff" (SFFBin)
and its picture "<base>.bmp" (a side view), and in <outdir> the short list "selection.db".

Implant frame: the apex at the origin, the axis along +z, the shoulder (platform) at
z = length. The output depends on nothing but the catalogue below and the output path
(selection.db holds absolute paths), so two runs into one folder give identical files.
"""

import math
import os
import shutil
import struct
import sys

import numpy as np

SEGMENTS = 32          # facets around the axis
COLLAR_HEIGHT = 1.0    # mm from the body diameter to the shoulder diameter
PICTURE_SIZE = (120, 204)   # width, height: the size the selection dialog shows
PIXELS_PER_MM = 10.0   # one scale for every picture, so that sizes compare
PICTURE_TOP = 22       # pixel row of the shoulder

# (company, family, article prefix, shape, comment, [(diameter, shoulder), ...], [lengths])
CATALOGUE = [
    ("Altavis Dental", "Conical Pro", "AV-CP", "tapered", "tapered",
     [(3.3, 3.8), (4.0, 4.5), (4.5, 5.0), (5.0, 5.5)], [8.0, 10.0, 11.5, 13.0, 16.0]),
    ("Altavis Dental", "Straight Classic", "AV-SC", "straight", "",
     [(3.5, 4.1), (4.1, 4.8), (4.8, 6.0)], [8.0, 10.0, 12.0, 14.0]),
    ("Brenholt Implant Systems", "BH Tapered", "BH-T", "tapered", "bone level",
     [(3.4, 3.5), (4.3, 4.6), (5.0, 5.6)], [9.0, 11.0, 13.0, 15.0]),
    ("Brenholt Implant Systems", "BH Short", "BH-S", "straight", "short",
     [(4.5, 5.5), (5.0, 6.0)], [8.0]),
    ("Quillon Medical", "Q-Line", "QM-L", "straight", "",
     [(3.3, 3.5), (4.1, 4.8), (4.8, 6.0)], [8.0, 10.0, 12.0, 14.0, 16.0]),
]

# The short list the program starts with: (family, diameter, length).
SELECTION = [("Conical Pro", 4.0, 10.0), ("Straight Classic", 4.1, 12.0), ("Q-Line", 4.8, 10.0)]


def number(value):
    """A size as the description file writes it (C locale, no trailing zeros)."""
    return ("%.2f" % value).rstrip("0").rstrip(".")


def base_name(prefix, diameter, length):
    # No "." in the name: the database only lists files whose extension after the first
    # "." is "implant".
    return "%s-D%02d-L%03d" % (prefix, round(diameter * 10), round(length * 10))


def profile(shape, diameter, shoulder, length):
    """The outline as (radius, z) rings from the apex up to the shoulder."""
    body = diameter / 2.0
    if shape == "tapered":
        rings = [(0.6 * body, 0.0), (body, 0.45 * length)]
    else:
        rings = [(body - 0.4, 0.0), (body, 0.6)]
    rings += [(body, length - COLLAR_HEIGHT), (shoulder / 2.0, length)]
    return rings


def surface_mesh(rings):
    """A closed surface of revolution about z: bands between rings and flat caps at both ends.

    Returns float positions (V x 3), unit vertex normals (V x 3) and triangles (T x 3) wound
    counter-clockwise seen from outside.
    """
    angles = 2.0 * math.pi * np.arange(SEGMENTS) / SEGMENTS
    cos, sin = np.cos(angles), np.sin(angles)
    positions = [np.stack([r * cos, r * sin, np.full(SEGMENTS, z)], axis=1) for r, z in rings]
    bottom = len(rings) * SEGMENTS
    top = bottom + 1
    positions.append(np.array([[0.0, 0.0, rings[0][1]], [0.0, 0.0, rings[-1][1]]]))
    positions = np.concatenate(positions)

    triangles = []
    for i in range(len(rings) - 1):
        for j in range(SEGMENTS):
            k = (j + 1) % SEGMENTS
            a, b = i * SEGMENTS + j, i * SEGMENTS + k
            c, d = (i + 1) * SEGMENTS + k, (i + 1) * SEGMENTS + j
            triangles += [(a, b, c), (a, c, d)]
    last = (len(rings) - 1) * SEGMENTS
    for j in range(SEGMENTS):
        k = (j + 1) % SEGMENTS
        triangles.append((bottom, k, j))
        triangles.append((top, last + j, last + k))
    triangles = np.array(triangles, dtype=np.uint32)

    # Area-weighted vertex normals.
    p = positions[triangles]
    face = np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])
    normals = np.zeros_like(positions)
    for corner in range(3):
        np.add.at(normals, triangles[:, corner], face)
    normals /= np.linalg.norm(normals, axis=1)[:, None]
    return positions.astype("<f4"), normals.astype("<f4"), triangles


def sffbin(positions, normals, triangles):
    header = b"SFFBIN\0\0" + struct.pack("<IIII", 1, len(positions), len(triangles), 1)
    return (header + positions.astype("<f4").tobytes() + normals.astype("<f4").tobytes()
            + triangles.astype("<u4").tobytes())


def radius_at(rings, z):
    """The outline radius at height z (mm), or None outside the implant."""
    if z < rings[0][1] or z > rings[-1][1]:
        return None
    for (r0, z0), (r1, z1) in zip(rings, rings[1:]):
        if z0 <= z <= z1:
            return r0 if z1 == z0 else r0 + (r1 - r0) * (z - z0) / (z1 - z0)
    return None


def picture(rings, length):
    """A side view, shoulder up, on black: shaded metal with thread grooves on the body."""
    width, height = PICTURE_SIZE
    image = np.zeros((height, width, 3), dtype=np.float64)
    centre = (width - 1) / 2.0
    samples = 4
    for y in range(height):
        # Height above the apex at this pixel row's centre.
        z = length - (y + 0.5 - PICTURE_TOP) / PIXELS_PER_MM
        r = radius_at(rings, z)
        if r is None or r <= 0.0:
            continue
        collar = z > length - COLLAR_HEIGHT
        groove = not collar and (z % 0.8) < 0.2
        for x in range(width):
            covered = 0.0
            shade = 0.0
            for s in range(samples):
                u = (x + (s + 0.5) / samples - 0.5 - centre) / PIXELS_PER_MM
                if abs(u) <= r:
                    covered += 1.0 / samples
                    shade += (0.35 + 0.65 * math.sqrt(1.0 - (u / r) ** 2)) / samples
            if covered == 0.0:
                continue
            base = (205.0, 210.0, 220.0) if collar else (165.0, 170.0, 178.0)
            if groove:
                base = (95.0, 98.0, 104.0)
            image[y, x] = [c * shade for c in base]
    return image


def bmp(image):
    """A 24-bit uncompressed Windows bitmap, rows bottom-up as the format wants."""
    height, width, _ = image.shape
    row_bytes = (width * 3 + 3) // 4 * 4
    pixels = np.clip(np.rint(image), 0, 255).astype(np.uint8)[::-1, :, ::-1]   # bottom-up, BGR
    rows = np.zeros((height, row_bytes), dtype=np.uint8)
    rows[:, :width * 3] = pixels.reshape(height, width * 3)
    data = rows.tobytes()
    file_header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 3780, 3780, 0, 0)
    return file_header + info + data


def description(company, family, reference, comment, diameter, shoulder, length, base):
    lines = [
        "[Implantdata]",
        "name=" + family,
        "company=" + company,
        "reference=" + reference,
        "comment=" + comment,
        "length=" + number(length),
        "diameter=" + number(diameter),
        "shoulder=" + number(shoulder),
        "surfacefile=" + base + ".sff",
        "imagefile=" + base + ".bmp",
    ]
    return ("\n".join(lines) + "\n").encode("utf-8")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def generate(work, final):
    """Writes the database into `work`; selection.db names the files as they will lie in `final`."""
    selected = []
    for company, family, prefix, shape, comment, sizes, lengths in CATALOGUE:
        folder = os.path.join(company, family)
        for article, (diameter, shoulder) in enumerate(sizes):
            for length in lengths:
                base = base_name(prefix, diameter, length)
                reference = "%s-%d%02d" % (prefix, article + 1, round(length))
                rings = profile(shape, diameter, shoulder, length)
                write(os.path.join(work, folder, base + ".implant"),
                      description(company, family, reference, comment, diameter, shoulder, length, base))
                write(os.path.join(work, folder, base + ".sff"), sffbin(*surface_mesh(rings)))
                write(os.path.join(work, folder, base + ".bmp"), bmp(picture(rings, length)))
                if (family, diameter, length) in SELECTION:
                    selected.append(os.path.join(final, folder, base + ".implant"))
    # The program reads the short list in the order of its own (code-unit ordered) map.
    write(os.path.join(work, "selection.db"), "".join(p + "\n" for p in sorted(selected)).encode("utf-8"))


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_implant_database.py <outdir>\n")
        return 2
    # The program finds the database below its own folder with symbolic links resolved, so
    # the short list names the files that way too.
    final = os.path.realpath(argv[1])
    if os.path.exists(final) and not os.path.isdir(final):
        sys.stderr.write("make_implant_database.py: %s is not a folder\n" % final)
        return 1
    if os.path.isdir(final) and os.listdir(final) and not os.path.exists(os.path.join(final, "selection.db")):
        sys.stderr.write("make_implant_database.py: %s holds something other than an implant database\n" % final)
        return 1

    # Built aside and then swapped in, so that a failed run leaves the previous database whole.
    work = final + ".new"
    shutil.rmtree(work, ignore_errors=True)
    generate(work, final)
    old = final + ".old"
    shutil.rmtree(old, ignore_errors=True)
    if os.path.isdir(final):
        os.rename(final, old)
    os.rename(work, final)
    shutil.rmtree(old, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
