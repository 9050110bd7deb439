# cmake -DFILE=<ini file> -DPATIENT_PATH=<folder> -DCDPATH=<series folder> -P write_settings.cmake
# Writes the program's settings file: the patient folder in which plannings are kept (the program
# makes it at the first save), the folder the DICOM import starts in, and screen video on.
if(NOT FILE OR NOT PATIENT_PATH)
  message(FATAL_ERROR "write_settings.cmake needs FILE and PATIENT_PATH")
endif()
file(WRITE ${FILE} "[Morvanta]\nPatientPath=${PATIENT_PATH}\nCdpath=${CDPATH}\nCaptureSupport=1\nMode=1\n")
