#!/usr/bin/python3
"""Outside oracle for the surface generation and mesh reduction tests: the same work done
by VTK (Debian's python3-vtk9).

  vtk_oracle.py surface RAW NX NY NZ SX SY SZ ISO [OUT_MESH]
      Iso-surface of a raw little-endian uint16 volume (x fastest) with vtkFlyingEdges3D,
      voxel i centred at (i + 0.5) * s. Prints "triangles N" and "area A"; writes the mesh
      when OUT_MESH is given.
  vtk_oracle.py decimate IN_MESH TARGET_TRIANGLES OUT_MESH
      vtkQuadricDecimation of a mesh down to the target; prints "triangles N".
  vtk_oracle.py time RAW NX NY NZ SX SY SZ ISO REPEATS
      Best wall time (s) of vtkFlyingEdges3D with one thread and with all threads.

Mesh files: uint32 vertex count, uint32 triangle count, float64 positions, uint32 indices.
"""
import struct
import sys
import time

import numpy as np
import vtk
from vtk.util import numpy_support


def read_volume(raw, dims, spacing):
    data = np.fromfile(raw, dtype="<u2")
    image = vtk.vtkImageData()
    image.SetDimensions(*dims)
    image.SetSpacing(*spacing)
    image.SetOrigin(*(0.5 * s for s in spacing))
    array = numpy_support.numpy_to_vtk(data, deep=True, array_type=vtk.VTK_UNSIGNED_SHORT)
    image.GetPointData().SetScalars(array)
    return image


def flying_edges(image, iso):
    fe = vtk.vtkFlyingEdges3D()
    fe.SetInputData(image)
    fe.SetValue(0, iso)
    fe.ComputeNormalsOff()
    fe.ComputeGradientsOff()
    fe.ComputeScalarsOff()
    fe.Update()
    return fe.GetOutput()


def area(polydata):
    props = vtk.vtkMassProperties()
    props.SetInputData(polydata)
    props.Update()
    return props.GetSurfaceArea()


def write_mesh(polydata, path):
    points = numpy_support.vtk_to_numpy(polydata.GetPoints().GetData()).astype("<f8")
    polys = numpy_support.vtk_to_numpy(polydata.GetPolys().GetConnectivityArray()).astype("<u4")
    with open(path, "wb") as out:
        out.write(struct.pack("<II", len(points), len(polys) // 3))
        out.write(points.tobytes())
        out.write(polys.tobytes())


def read_mesh(path):
    with open(path, "rb") as f:
        nv, nt = struct.unpack("<II", f.read(8))
        points = np.frombuffer(f.read(24 * nv), dtype="<f8").reshape(nv, 3)
        tris = np.frombuffer(f.read(12 * nt), dtype="<u4").reshape(nt, 3)
    polydata = vtk.vtkPolyData()
    vpoints = vtk.vtkPoints()
    vpoints.SetData(numpy_support.numpy_to_vtk(points.copy(), deep=True))
    polydata.SetPoints(vpoints)
    cells = vtk.vtkCellArray()
    offsets = np.arange(0, 3 * nt + 1, 3, dtype=np.int64)
    cells.SetData(numpy_support.numpy_to_vtkIdTypeArray(offsets, deep=True),
                  numpy_support.numpy_to_vtkIdTypeArray(tris.astype(np.int64).ravel(), deep=True))
    polydata.SetPolys(cells)
    return polydata


def main(argv):
    mode = argv[1]
    if mode in ("surface", "time"):
        dims = [int(v) for v in argv[3:6]]
        spacing = [float(v) for v in argv[6:9]]
        iso = float(argv[9])
        image = read_volume(argv[2], dims, spacing)
        if mode == "surface":
            surface = flying_edges(image, iso)
            print("triangles", surface.GetNumberOfPolys())
            print("area", repr(area(surface)))
            if len(argv) > 10:
                write_mesh(surface, argv[10])
        else:
            repeats = int(argv[10])
            smp = vtk.vtkSMPTools()
            print("backend", smp.GetBackend())
            for threads in (1, 0):
                smp.Initialize(threads)
                best = float("inf")
                for _ in range(repeats):
                    start = time.perf_counter()
                    surface = flying_edges(image, iso)
                    best = min(best, time.perf_counter() - start)
                label = "one_thread" if threads == 1 else "all_threads"
                print(label, repr(best), "threads", smp.GetEstimatedNumberOfThreads(),
                      "triangles", surface.GetNumberOfPolys())
    elif mode == "decimate":
        mesh = read_mesh(argv[2])
        target = int(argv[3])
        decimate = vtk.vtkQuadricDecimation()
        decimate.SetInputData(mesh)
        decimate.SetTargetReduction(1.0 - target / mesh.GetNumberOfPolys())
        decimate.Update()
        out = decimate.GetOutput()
        print("triangles", out.GetNumberOfPolys())
        write_mesh(out, argv[4])
    else:
        raise SystemExit("unknown mode " + mode)


if __name__ == "__main__":
    main(sys.argv)
