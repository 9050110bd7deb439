#!/usr/bin/python3
"""Writes pydicom's data dictionary as lines "GGGGEEEE VR" (repeating entries keep their x digits)."""
from pydicom.datadict import DicomDictionary, RepeatersDictionary

for tag, entry in sorted(DicomDictionary.items()):
    print("%08X %s" % (tag, entry[0].replace(" ", "_")))
for key, entry in sorted(RepeatersDictionary.items()):
    print("%s %s" % (key.upper().replace("X", "x"), entry[0].replace(" ", "_")))
