# Tests that read the X screen run alone: a window of a test running beside them, shown at the
# screen's top-left too, would cover the window they read.
set_tests_properties(ViewHarness.AxialSliceOnTheScreenInTheWindowsGreys
                     View3DHarness.SurfaceCoversThePixelsVtkDrawsThroughTheSameCamera
                     PROPERTIES RUN_SERIAL TRUE)
