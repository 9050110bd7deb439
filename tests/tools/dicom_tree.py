#!/usr/bin/python3
"""DICOM trees for the import dialog's tests, and pydicom's grouping of them as the oracle.

  dicom_tree.py make <folder>          two series in a folder, a series over two folders, a single
                                       file, junk, the ambiguous pair (patient "12" study "3" and
                                       patient "1" study "23"), a series without date and time
  dicom_tree.py many <folder> <count>  one series of <count> files (for a long scan)
  dicom_tree.py latin1 <folder>        one series of 3 files whose patient name is written in Latin-1
  dicom_tree.py pixels <folder> <count> "many" with an image of 16 x 16 pixels in each file: a series
                                       that imports
  dicom_tree.py singles <folder> <count> <count> single images (each a series of its own) in one folder
  dicom_tree.py groups <folder>        one line per study set: "date time|patient|files", sorted
  dicom_tree.py rate <folder> <count>  "many", then pydicom's header reads a second on standard error

Grouping (the oracle): patient ID, study ID, pixel spacing, orientation, series number, folder and
series instance UID, each field on its own; sets of one file are left out. Headers are read by
pydicom, not by our parser.
"""
import os
import sys
import time

import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

SOP_CLASS = "1.2.840.10008.5.1.4.1.1.2"


def write(path, patient, patient_id, study_id, series, uid, date="20040101", time="103000", modality="CT",
          model="Scanner", charset=None, pixels=False, index=0):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = SOP_CLASS
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = SOP_CLASS, meta.MediaStorageSOPInstanceUID
    ds.Modality, ds.ManufacturerModelName = modality, model
    if charset:
        ds.SpecificCharacterSet = charset
    ds.PatientName, ds.PatientID, ds.PatientBirthDate, ds.PatientSex = patient, patient_id, "19650412", "F"
    ds.StudyID, ds.SeriesNumber, ds.SeriesInstanceUID = study_id, series, uid
    ds.StudyDate, ds.StudyTime = date, time
    ds.PixelSpacing = ["0.3", "0.3"]
    ds.ImageOrientationPatient = ["1", "0", "0", "0", "1", "0"]
    if pixels:
        ds.Rows = ds.Columns = 16
        ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 0
        ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
        ds.PixelData = bytes(range(256)) * 2
        # A stack that imports: the slices 0.5 mm apart, in order.
        ds.ImagePositionPatient = ["0", "0", f"{index * 0.5:g}"]
        ds.InstanceNumber = index + 1
    os.makedirs(os.path.dirname(path), exist_ok=True)
    ds.save_as(path, write_like_original=False)


def make(root):
    a, b = generate_uid(), generate_uid()
    for i in range(5):
        write(f"{root}/Two/s1_{i}.dcm", "Two^Series", "P1", "1", 1, a)
    for i in range(3):
        write(f"{root}/Two/s2_{i}.dcm", "Two^Series", "P1", "1", 2, b, "20050606", "080000")
    c = generate_uid()
    for folder in ["Split/x", "Split/y"]:
        for i in range(2):
            write(f"{root}/{folder}/{i}.dcm", "Split^Series", "P2", "7", 1, c, "20030303", "120000")
    write(f"{root}/Single/one.dcm", "Single^File", "P3", "1", 1, generate_uid())
    os.makedirs(f"{root}/Junk", exist_ok=True)
    with open(f"{root}/Junk/notes.txt", "w") as f:
        f.write("not DICOM\n" * 50)
    for pid, sid in [("12", "3"), ("1", "23")]:
        for i in range(2):
            write(f"{root}/Ambiguous/{pid}_{sid}_{i}.dcm", "Amb^" + pid, pid, sid, 1, "", "20010101", "000000")
    d = generate_uid()
    for i in range(2):
        write(f"{root}/Undated/{i}.dcm", "No^Date", "P4", "1", 1, d, "", "")


def many(root, count, pixels=False):
    uid = generate_uid()
    for i in range(count):
        write(f"{root}/Many/{i:05d}.dcm", "Many^Files", "P9", "1", 1, uid, pixels=pixels, index=i)


def singles(root, count):
    for i in range(count):
        write(f"{root}/Many/{i:05d}.dcm", "Single^Image", "P9", "1", i + 1, generate_uid(), pixels=True)


def latin1(root):
    uid = generate_uid()
    for i in range(3):
        write(f"{root}/Latin/{i}.dcm", "M\u00fcller^J\u00fcrgen", "P10", "1", 1, uid, charset="ISO_IR 100")


def groups(root):
    sets = {}
    for folder, _, files in sorted(os.walk(root)):
        for name in sorted(files):
            try:
                ds = pydicom.dcmread(os.path.join(folder, name), stop_before_pixels=True)
            except Exception:
                continue
            get = lambda k: str(ds.get(k, ""))
            key = (get("PatientID"), get("StudyID"), get("PixelSpacing"), get("ImageOrientationPatient"),
                   get("SeriesNumber"), os.path.abspath(folder), get("SeriesInstanceUID"))
            sets.setdefault(key, []).append(ds)
    rows = []
    for files in sets.values():
        if len(files) > 1:
            d, t = str(files[0].get("StudyDate", "")), str(files[0].get("StudyTime", ""))
            date = f"{d[6:8]}/{d[4:6]}/{d[0:4]}" if d else ""
            time = f"{t[0:2]}:{t[2:4]}:{t[4:6]}" if t else ""
            rows.append(f"{date} {time}|{files[0].PatientName}|{len(files)}")
    print("\n".join(sorted(rows)))


if __name__ == "__main__":
    mode, root = sys.argv[1], sys.argv[2]
    if mode == "make":
        make(root)
    elif mode == "rate":
        many(root, int(sys.argv[3]))
        names = sorted(os.listdir(f"{root}/Many"))
        started = time.perf_counter()
        for name in names:
            pydicom.dcmread(f"{root}/Many/{name}", stop_before_pixels=True)
        print(f"pydicom {len(names) / (time.perf_counter() - started):.1f}", file=sys.stderr)
    elif mode == "latin1":
        latin1(root)
    elif mode == "many":
        many(root, int(sys.argv[3]))
    elif mode == "pixels":
        many(root, int(sys.argv[3]), True)
    elif mode == "singles":
        singles(root, int(sys.argv[3]))
    else:
        groups(root)
