#!/usr/bin/python3
"""Prints, as JSON, the top-level header elements that pydicom reads from each file given on the
command line, normalised for comparison with our reader: texts without trailing padding, numbers
as lists, bulk data and sequences by presence only. The pixel data is left out. Free texts (names,
descriptions) are decoded by pydicom from the file's Specific Character Set ("utext"); those that
switch sets by escape sequences, and those of the multi-byte sets GB18030 and GBK, by presence only."""
import json
import sys
import warnings

import pydicom
import pydicom.charset
from pydicom.tag import Tag

warnings.simplefilter("ignore")

TEXT = {"AE", "AS", "CS", "DA", "DT", "LO", "LT", "PN", "SH", "ST", "TM", "UC", "UI", "UR", "UT"}
INTS = {"US", "SS", "UL", "SL", "SV", "UV", "US or SS"}
FLOATS = {"FL", "FD"}
DECODED = {"LO", "LT", "PN", "SH", "ST", "UC", "UT"}


def listed(value):
    if isinstance(value, (list, tuple, pydicom.multival.MultiValue)):
        return list(value)
    return [] if value is None or value == "" else [value]


def character_sets(ds):
    value = ds.get("SpecificCharacterSet", "") if hasattr(ds, "get") else ""
    return listed(value) or [""]


def element(ds, tag, sets):
    raw = ds.get_item(tag)
    elem = ds[tag]
    vr = elem.VR
    # pydicom 2.3 reads binary UN values of a big-endian file big endian; they are little endian.
    if getattr(raw, "VR", "") == "UN" and getattr(ds, "is_little_endian", True) is False and vr not in TEXT:
        return vr, "bulk", None
    if vr in TEXT:
        data = raw.value if isinstance(raw.value, (bytes, bytearray)) else (raw.value or "").encode("latin-1", "replace")
        if vr in DECODED and tag.group != 0x0002:
            first = next((v for v in sets if v), "")
            if b"\x1b" in data or first in ("GB18030", "GBK"):
                return vr, "bulk", None
            text = pydicom.charset.decode_bytes(bytes(data), pydicom.charset.convert_encodings(sets), set())
            return vr, "utext", text.rstrip(" \0")
        return vr, "text", data.decode("latin-1").rstrip(" \0")
    if vr in ("DS", "IS"):
        return vr, "num", [float(v) for v in listed(elem.value)]
    if vr in INTS:
        return vr, "int", [int(v) for v in listed(elem.value)]
    if vr in FLOATS:
        return vr, "num", [float(v) for v in listed(elem.value)]
    if vr == "AT":
        return vr, "tag", [int(Tag(v)) for v in listed(elem.value)]
    if vr == "SQ":
        return vr, "sq", None
    return vr, "bulk", None


result = {}
for path in sys.argv[1:]:
    try:
        ds = pydicom.dcmread(path, force=True, stop_before_pixels=True)
        items = []
        meta = getattr(ds, "file_meta", None) or {}
        sets = character_sets(ds)
        for source, tag in [(meta, tag) for tag in meta.keys()] + [(ds, tag) for tag in ds.keys()]:
            if (tag.group == 0x0002) != (source is meta) or tag == 0x7FE00010:
                continue
            try:
                vr, kind, value = element(source, tag, sets)
            except Exception as error:  # a value pydicom cannot convert: compare presence only
                vr, kind, value = "??", "bulk", None
            items.append([int(tag), vr, kind, value])
        result[path] = {"elements": items}
    except Exception as error:
        result[path] = {"error": str(error)}
json.dump(result, sys.stdout)
