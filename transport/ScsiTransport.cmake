# SCSI.dll: the nine exports over a back end picked at InitDisk time. Only the
# exports are visible; the emulator's code stays private to the library so a host
# that also links flashemu never binds to the copy inside SCSI.dll.
add_library(SCSI SHARED ${CMAKE_CURRENT_LIST_DIR}/ScsiTransport.cpp)
quendal_dll_name(SCSI SCSI)
set_target_properties(SCSI PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  NO_SONAME OFF)
target_include_directories(SCSI PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(SCSI PRIVATE scsi_headers flashemu)
if(TARGET scsi_passthrough)
  target_link_libraries(SCSI PRIVATE scsi_passthrough)
  target_compile_definitions(SCSI PRIVATE QUENDAL_HAVE_PASSTHROUGH=1)
endif()
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_link_options(SCSI PRIVATE "LINKER:--exclude-libs,ALL")
endif()
