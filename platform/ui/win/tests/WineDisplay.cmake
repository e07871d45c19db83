# Gives the Wine prefix of a test run a display driver: Wine's null driver when
# no X display is named. Run with -DWINE=<wine program>; WINEPREFIX is taken
# from the environment. On Windows itself (no WINE) there is nothing to do.
if(NOT WINE OR NOT "$ENV{DISPLAY}" STREQUAL "")
  return()
endif()
execute_process(
  COMMAND ${WINE} reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not select Wine's null display driver (wine reg add answered ${rc})")
endif()
