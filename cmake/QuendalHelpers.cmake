# quendal_add_test(NAME SOURCES a.cpp b.cpp [LIBS x y] [LABELS l])
# One GoogleTest program registered with CTest. Test programs live in the common
# output folder, so Quendal.dll and SCSI.dll are found beside them as beside any host.
# Every rewrite of a disk's table saves the table in the user's store first.
# A test keeps that store in the build tree, a folder of its own, never in the
# home folder of whoever runs it. (Wine sets LOCALAPPDATA from its prefix, which
# scripts/wine-test.sh keeps in the build tree as well.)
function(quendal_test_data_home test)
  set(home ${CMAKE_BINARY_DIR}/test-data/${test})
  set_tests_properties(${test} PROPERTIES ENVIRONMENT_MODIFICATION
    "XDG_DATA_HOME=set:${home};LOCALAPPDATA=set:${home}")
endfunction()

function(quendal_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${QUENDAL_OUTPUT_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
  quendal_test_data_home(${name})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# Shared libraries of the system keep their specified file names on every platform.
function(quendal_dll_name target filename)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${filename} SUFFIX ".dll")
  # A symbol left undefined would only show when a host loads the library.
  target_link_options(${target} PRIVATE "LINKER:--no-undefined")
endfunction()
