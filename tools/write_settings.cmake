# cmake -DFILE=<ini file> -DPATIENT_PATH=<folder> -P write_settings.cmake
# Writes the program's settings file with the patient folder in which plannings are kept.
if(NOT FILE OR NOT PATIENT_PATH)
  message(FATAL_ERROR "write_settings.cmake needs FILE and PATIENT_PATH")
endif()
file(WRITE ${FILE} "[Morvanta]\nPatientPath=${PATIENT_PATH}\n")
