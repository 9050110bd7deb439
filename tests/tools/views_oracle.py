#!/usr/bin/python3
"""Outside oracles for the slice view tests (numpy and Debian's python3-vtk9).

  views_oracle.py sample JOB.json OUT
      Nearest sampling of a raw little-endian uint16 volume (x fastest) on a slice: texel
      (i, j) reads the voxel floor(p / s) under p = volume transform x frame x ((i + 0.5) dx,
      (j + 0.5) dy, 0), dx = width / used texels; outside the volume 0. Grey = the value x
      scale + offset clamped to 0..255 and truncated. Writes the used texels' greys (uint8,
      rows of `used_w`).
  views_oracle.py unroll JOB.json OUT
      The panoramic picture of a volume along a curve (python3-shapely): pixel (x, y) of a
      W x H view shows the voxel under the curve's point at distance (x + 0.5) L / W (shapely
      `interpolate`) and the height Z - (y + 0.5) Z / H, Z the volume's height. Writes the
      voxel values (uint16, rows of W). JOB.json: raw, dims, spacing, corners ([[x, y], ...]),
      view ([W, H]).
  views_oracle.py cut MESH PX PY PZ NX NY NZ
      vtkCutter of the mesh by the plane; prints one line per segment: the segment's
      midpoint and length, sorted.

JOB.json: raw, dims, spacing, transform and frame (16 numbers each, column-major), width,
height, used_w, used_h, low, high. Mesh files as in vtk_oracle.py.
"""
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def sample(job_file, out):
    with open(job_file) as f:
        job = json.load(f)
    nx, ny, nz = job["dims"]
    volume = np.fromfile(job["raw"], dtype="<u2").reshape(nz, ny, nx)
    transform = np.array(job["transform"], dtype=float).reshape(4, 4).T
    frame = np.array(job["frame"], dtype=float).reshape(4, 4).T
    f = transform @ frame
    uw, uh = job["used_w"], job["used_h"]
    dx, dy = job["width"] / uw, job["height"] / uh
    i, j = np.meshgrid(np.arange(uw), np.arange(uh))
    points = np.stack([(i + 0.5) * dx, (j + 0.5) * dy, np.zeros_like(i, dtype=float), np.ones_like(i, dtype=float)])
    p = np.tensordot(f, points, axes=1)[:3]
    spacing = np.array(job["spacing"], dtype=float).reshape(3, 1, 1)
    index = np.floor(p / spacing)
    dims = np.array([nx, ny, nz]).reshape(3, 1, 1)
    inside = np.all((index >= 0) & (index < dims), axis=0)
    ix, iy, iz = [np.where(inside, index[a], 0).astype(int) for a in range(3)]
    values = np.where(inside, volume[iz, iy, ix], 0).astype(float)
    low, high = job["low"], max(job["high"], job["low"] + 1)
    scale = 255.0 / (high - low)
    grey = np.clip(values * scale - low * scale, 0, 255).astype(np.uint8)
    grey.tofile(out)


def unroll(job_file, out):
    from shapely.geometry import LineString
    with open(job_file) as f:
        job = json.load(f)
    nx, ny, nz = job["dims"]
    sx, sy, sz = job["spacing"]
    volume = np.fromfile(job["raw"], dtype="<u2").reshape(nz, ny, nx)
    curve = LineString(job["corners"])
    w, h = job["view"]
    height = nz * sz
    image = np.zeros((h, w), dtype="<u2")
    for x in range(w):
        p = curve.interpolate((x + 0.5) * curve.length / w)
        ix, iy = int(np.floor(p.x / sx)), int(np.floor(p.y / sy))
        for y in range(h):
            iz = int(np.floor((height - (y + 0.5) * height / h) / sz))
            if 0 <= ix < nx and 0 <= iy < ny and 0 <= iz < nz:
                image[y, x] = volume[iz, iy, ix]
    image.tofile(out)


def cut(mesh_file, px, py, pz, nx, ny, nz):
    import vtk
    import vtk_oracle
    mesh = vtk_oracle.read_mesh(mesh_file)
    plane = vtk.vtkPlane()
    plane.SetOrigin(px, py, pz)
    plane.SetNormal(nx, ny, nz)
    cutter = vtk.vtkCutter()
    cutter.SetCutFunction(plane)
    cutter.SetInputData(mesh)
    cutter.Update()
    out = cutter.GetOutput()
    points = out.GetPoints()
    rows = []
    lines = out.GetLines()
    lines.InitTraversal()
    ids = vtk.vtkIdList()
    while lines.GetNextCell(ids):
        for k in range(ids.GetNumberOfIds() - 1):
            a = np.array(points.GetPoint(ids.GetId(k)))
            b = np.array(points.GetPoint(ids.GetId(k + 1)))
            m = (a + b) / 2
            rows.append(tuple(round(float(v), 6) + 0.0 for v in (m[0], m[1], m[2], np.linalg.norm(a - b))))
    for r in sorted(rows):
        print("%.6f %.6f %.6f %.6f" % r)


def main(argv):
    if argv[1] == "sample":
        sample(argv[2], argv[3])
    elif argv[1] == "unroll":
        unroll(argv[2], argv[3])
    elif argv[1] == "cut":
        cut(argv[2], *[float(v) for v in argv[3:9]])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
