#!/usr/bin/python3
"""Times vtkFlyingEdges3D (python3-vtk9) on the volume bench_surface_generation writes, with
one thread and with all threads, as the outside anchor for that benchmark's figures.
Usage: surface_generation_vtk.py <build>/bench_surface_generation.raw [repeats]"""
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
oracle = os.path.join(here, "..", "tests", "tools", "vtk_oracle.py")
repeats = sys.argv[2] if len(sys.argv) > 2 else "5"
# Same size, spacing and iso value as bench/surface_generation.cpp.
subprocess.run(["/usr/bin/python3", oracle, "time", sys.argv[1], "256", "256", "256",
                "0.3", "0.3", "0.3", "1500", repeats], check=True)
