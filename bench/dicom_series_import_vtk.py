#!/usr/bin/python3
"""Reads DICOM folders with VTK's vtkDICOMImageReader for bench_dicom_series_import, which keeps
this process for a whole run (VTK takes about a second to load). One command a line on standard
input, one answer a line:
  cores 0,3        run on these cores from now on            -> ok
  read FOLDER      read the series in FOLDER into a volume   -> seconds S dims X Y Z
The seconds are the reader's own time in this process, as the benchmark measures its own."""
import os
import sys
import time

import vtk


def main():
    vtk.vtkObject.GlobalWarningDisplayOff()
    print("ready", flush=True)
    for line in sys.stdin:
        command, _, argument = line.strip().partition(" ")
        if command == "cores":
            os.sched_setaffinity(0, {int(c) for c in argument.split(",")})
            print("ok", flush=True)
        elif command == "read":
            reader = vtk.vtkDICOMImageReader()
            reader.SetDirectoryName(argument)
            start = time.perf_counter()
            reader.Update()
            seconds = time.perf_counter() - start
            dims = reader.GetOutput().GetDimensions()
            print(f"seconds {seconds:.6f} dims {dims[0]} {dims[1]} {dims[2]}", flush=True)
            del reader
        else:
            print(f"error unknown command '{command}'", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
