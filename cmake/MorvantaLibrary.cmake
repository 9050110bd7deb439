# One library per folder of src/: every source below the folder belongs to it, so a new
# class needs no list edit. Headers are included relative to src/ ("vexa/math/Vector3.h").
function(morvanta_library name)
  cmake_parse_arguments(ARG "" "" "PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  set_property(GLOBAL APPEND PROPERTY MORVANTA_LIBRARIES ${name})
endfunction()

# Links `target` with Qt's private GUI interface (package qt6-base-private-dev) and defines
# `definition` when its headers are there; else warns with `without` (what the build goes without).
function(morvanta_use_private_gui target definition without)
  find_package(Qt6 QUIET OPTIONAL_COMPONENTS GuiPrivate)
  if(TARGET Qt6::GuiPrivate)
    get_target_property(includes Qt6::GuiPrivate INTERFACE_INCLUDE_DIRECTORIES)
    list(GET includes 0 root)
    if(EXISTS "${root}/QtGui/private/qguiapplication_p.h")
      target_link_libraries(${target} PRIVATE Qt6::GuiPrivate)
      target_compile_definitions(${target} PRIVATE ${definition})
      return()
    endif()
  endif()
  message(WARNING "Qt's private GUI headers are missing (qt6-base-private-dev): ${without}")
endfunction()

# One GoogleTest executable per folder of tests/, discovered by CTest.
function(morvanta_tests name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} morvanta_test_main GTest::gtest GTest::gmock)
  target_compile_definitions(${name} PRIVATE
      MORVANTA_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data"
      MORVANTA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      MORVANTA_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
  # Read by ctest after the tests found above: the longest of them start first.
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${PROJECT_SOURCE_DIR}/tests/LongTests.cmake)
endfunction()
