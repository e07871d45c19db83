# The modules the Windows launcher carries onto the login volume must stay
# small: a stripped copy of each is compared with a budget. The usual way to
# blow it is an iostream or std::filesystem use, which links the C++ runtime's
# locale machinery (some 800 KB) into the module.
#   cmake -DSTRIP=<strip> -DBUDGET=<bytes> -DWORK=<dir> -P module_size_check.cmake <module>...
file(MAKE_DIRECTORY ${WORK})
set(failed "")
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  set(arg ${CMAKE_ARGV${i}})
  if(NOT arg MATCHES "\\.(dll|exe)$" OR NOT EXISTS ${arg})
    continue()
  endif()
  get_filename_component(name ${arg} NAME)
  file(COPY_FILE ${arg} ${WORK}/${name})
  execute_process(COMMAND ${STRIP} ${WORK}/${name} RESULT_VARIABLE r)
  if(NOT r EQUAL 0)
    message(FATAL_ERROR "${STRIP} failed on ${name}")
  endif()
  file(SIZE ${WORK}/${name} size)
  message(STATUS "${name}: ${size} bytes stripped (budget ${BUDGET})")
  if(size GREATER BUDGET)
    string(APPEND failed " ${name} (${size})")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "over the size budget of ${BUDGET} bytes:${failed}. Look for <iostream>, <fstream>, "
    "<sstream> or <filesystem> in the code these modules link; use text_io.h and file_io.h instead.")
endif()
