#!/usr/bin/python3
"""Writes DICOM fixtures into the folder given as the argument, file k of each uncompressed syntax
holding the same data set: nested sequences with every current tag whose VR the standard leaves
open, each in its k-th VR (OW as well as US for LUT Data), and top-level elements of the common
VRs, which the explicit files write as UN. (pydicom 2.3 reads binary UN values of a big-endian
file in the wrong byte order: the big-endian files are checked against their twins.)"""
import os
import sys

from pydicom.datadict import DicomDictionary
from pydicom.dataelem import DataElement
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRBigEndian, ExplicitVRLittleEndian, ImplicitVRLittleEndian, generate_uid

from dicom_writing import encode_as_un, new_dataset

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
OPEN = sorted(tag for tag, entry in DicomDictionary.items() if " or " in entry[0] and not entry[3] and tag != 0x7FE00010)
VALUES = {"US": [7, 65000], "SS": [-7, 300], "OB": b"\1\2\3\4", "OW": b"\1\2\3\4"}
TOP = [(0x00080060, "CS", "OT"), (0x00080080, "LO", "Morvanta fixtures"), (0x00100010, "PN", "Fixture^Nested"),
       (0x00100030, "DA", "19700101"), (0x00080030, "TM", "101010.5"), (0x00180088, "DS", "0.75"),
       (0x00181041, "DS", "3.5\\4"), (0x00200013, "IS", "17"), (0x00280010, "US", 4), (0x00280011, "US", 2),
       (0x00281052, "DS", "-1024"), (0x00280030, "DS", ["0.5", "0.25"]), (0x00181310, "US", [0, 256, 256, 0]),
       (0x00186020, "SL", -12), (0x00189087, "FD", 1000.25), (0x00189089, "FD", [0.0, 0.5, -1.0]),
       (0x00189219, "FL", 2.5), (0x00209165, "AT", [0x00209056, 0x00209057]), (0x00081010, "SH", "station"),
       (0x00204000, "LT", "long text\\with a backslash")]


def item(k, *extra):
    ds = Dataset()
    for tag in OPEN:
        vrs = DicomDictionary[tag][0].split(" or ")
        ds.add(DataElement(tag, vrs[k % len(vrs)], VALUES[vrs[k % len(vrs)]]))
    for elem in extra:
        ds.add(elem)
    return ds


SYNTAXES = {"implicit": ImplicitVRLittleEndian, "explicit": ExplicitVRLittleEndian, "big": ExplicitVRBigEndian}
INSTANCES = [generate_uid() for k in range(3)]
for name, syntax in SYNTAXES.items():
    for k in range(3):
        ds = new_dataset("1.2.840.10008.5.1.4.1.1.7", INSTANCES[k], syntax)
        for tag, vr, value in TOP:
            ds.add(DataElement(tag, vr, value))
        # Referenced Image Sequence > item > VOI LUT Sequence > items with every open-VR tag.
        voi = DataElement(0x00283010, "SQ", Sequence([item(k), item(k + 1)]))
        ds.ReferencedImageSequence = Sequence([item(k + 2, voi), Dataset()])
        if syntax != ImplicitVRLittleEndian:
            encode_as_un(ds, [tag for tag, vr, value in TOP[::2]])
        ds.save_as(os.path.join(folder, f"vr_{name}_{k}.dcm"), write_like_original=False)
