#!/usr/bin/python3
"""Writes a synthetic single-frame series for the import tests. One JSON argument describes it:
  folder, dims [nx, ny, nz] and spacing [sx, sy, sz] of a patient grid in LPS millimetres (x left,
  y posterior, z head), origin [x, y, z], row and column cosines "row"/"col" (axis-aligned or not),
  and optionally modality, model, syntax (explicit | implicit | big), order (ascending | descending
  | shuffled), drop (slice indices to leave out), duplicate (a slice index written twice),
  pixelrep (0 | 1), intercept, slope, "un" (true: every standard element but the pixel data
  written as explicit UN, which needs an explicit syntax), and "raw" (a file of nx * ny * nz
  little-endian 16-bit values, x fastest, holding HU + 1000 for every voxel of the grid),
  "numbers" (the format of positions and pixel spacings, default ".4f"), "positions" (false: no
  image position and orientation), "between" and "thickness" (the texts of spacing between
  slices and slice thickness; thickness defaults to "9.0", deliberately not the slice distance),
  "charset" (Specific Character Set) and "patient" (the name, encoded by that set).
Without "raw", voxel (ix, iy, iz) of the grid holds HU = (7 ix + 13 iy + 29 iz) % 3000 - 1000 (the
C++ tests compute the same), so any orientation of the same grid imports to the same volume."""
import json
import os
import random
import sys

import numpy as np
import pydicom
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian, ExplicitVRBigEndian, generate_uid

from dicom_writing import encode_as_un, new_dataset

spec = json.loads(sys.argv[1])
folder = spec["folder"]
os.makedirs(folder, exist_ok=True)
nx, ny, nz = spec["dims"]
spacing = np.array(spec["spacing"], float)
origin = np.array(spec.get("origin", [0.0, 0.0, 0.0]), float)
row = np.array(spec.get("row", [1, 0, 0]), float)
col = np.array(spec.get("col", [0, 1, 0]), float)
normal = np.cross(row, col)
dims = np.array([nx, ny, nz])
intercept = float(spec.get("intercept", -1024))
slope = float(spec.get("slope", 1))
pixelrep = int(spec.get("pixelrep", 0))
numbers = spec.get("numbers", ".4f")

def axis(v):
    a = int(np.argmax(np.abs(v)))
    return a, (1 if v[a] > 0 else -1)

ra, rs = axis(row)
ca, cs = axis(col)
na, ns = axis(normal)
columns, rows, slices = dims[ra], dims[ca], dims[na]

def grid_index(i, j, k):
    idx = [0, 0, 0]
    idx[ra] = i if rs > 0 else dims[ra] - 1 - i
    idx[ca] = j if cs > 0 else dims[ca] - 1 - j
    idx[na] = k if ns > 0 else dims[na] - 1 - k
    return idx

if "raw" in spec:
    grid = np.fromfile(spec["raw"], dtype="<u2").reshape(nz, ny, nx).astype(np.int32) - 1000

    def hu(ix, iy, iz):
        return grid[iz, iy, ix]
else:
    def hu(ix, iy, iz):
        return (7 * ix + 13 * iy + 29 * iz) % 3000 - 1000

study = generate_uid()
series = generate_uid()
syntax = {"explicit": ExplicitVRLittleEndian, "implicit": ImplicitVRLittleEndian,
          "big": ExplicitVRBigEndian}[spec.get("syntax", "explicit")]
ks = [k for k in range(slices) if k not in spec.get("drop", [])]
if "duplicate" in spec:
    ks.append(spec["duplicate"])
order = spec.get("order", "ascending")
if order == "descending":
    ks = ks[::-1]
elif order == "shuffled":
    random.Random(7).shuffle(ks)
ii, jj = np.meshgrid(np.arange(columns), np.arange(rows))
for number, k in enumerate(ks):
    corner = grid_index(0, 0, k)
    ipp = origin + spacing * np.array(corner)
    idx = grid_index(ii, jj, k)
    values = hu(np.asarray(idx[0]), np.asarray(idx[1]), np.asarray(idx[2]))
    stored = np.round((values - intercept) / slope).astype(np.int32)
    ds = new_dataset("1.2.840.10008.5.1.4.1.1.2", generate_uid(), syntax)
    ds.Modality = spec.get("modality", "CT")
    ds.Manufacturer = "Morvanta test"
    ds.ManufacturerModelName = spec.get("model", "Synthetic")
    if "charset" in spec:
        ds.SpecificCharacterSet = spec["charset"]
    ds.PatientName = spec.get("patient", "Test^Series")
    ds.PatientID = "T0001"
    ds.PatientBirthDate = "19650412"
    ds.StudyInstanceUID = study
    ds.SeriesInstanceUID = series
    ds.StudyID = "1"
    ds.SeriesNumber = 3
    ds.InstanceNumber = number + 1
    ds.SliceThickness = spec.get("thickness", "9.0")
    if "between" in spec:
        ds.SpacingBetweenSlices = spec["between"]
    if spec.get("positions", True):
        ds.ImagePositionPatient = [format(v, numbers) for v in ipp]
        ds.ImageOrientationPatient = [f"{v:.6f}" for v in list(row) + list(col)]
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = int(rows)
    ds.Columns = int(columns)
    ds.PixelSpacing = [format(spacing[ca], numbers), format(spacing[ra], numbers)]
    ds.BitsAllocated = 16
    ds.BitsStored = 12 if pixelrep == 0 and stored.max() < 4096 and stored.min() >= 0 else 16
    ds.HighBit = ds.BitsStored - 1
    ds.PixelRepresentation = pixelrep
    ds.RescaleIntercept = f"{intercept:g}"
    ds.RescaleSlope = f"{slope:g}"
    dtype = np.int16 if pixelrep else np.uint16
    array = stored.astype(dtype)
    if not ds.is_little_endian:
        array = array.byteswap()
    ds.PixelData = array.tobytes()
    if spec.get("un"):
        ds["PixelData"].VR = "OW"  # settled now: Bits Allocated becomes unreadable to pydicom as UN
        encode_as_un(ds, [tag for tag in ds.keys() if tag != 0x7FE00010])
    name = spec.get("names", "slice_{:04d}.dcm").format(number)
    ds.save_as(os.path.join(folder, name), write_like_original=False)
