# The folders beside the manager that the format procedure copies from:
#   PWD/        the login volume of a secure disk: the launcher and a read-me.
#   BOOTFILES/  the system files of a boot disk (left for the user to fill).
#   Cdrom/      auto.iso, the image of an emulated CD-ROM (left for the user).
#
# The format copies every plain file at the top of PWD and BOOTFILES into the
# new volume, under upper-cased 8.3 names, and skips files ending in ".SCC".
# BOOTFILES' read-me therefore ends in .SCC, so a boot disk gets only what the
# user put there; PWD's read-me is meant for the disk.

set(QUENDAL_PWD_DIR ${QUENDAL_OUTPUT_DIR}/PWD)
file(MAKE_DIRECTORY ${QUENDAL_PWD_DIR} ${QUENDAL_OUTPUT_DIR}/BOOTFILES ${QUENDAL_OUTPUT_DIR}/Cdrom)
configure_file(${CMAKE_CURRENT_LIST_DIR}/readme/PWD.txt ${QUENDAL_PWD_DIR}/README.TXT COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/readme/BOOTFILES.txt ${QUENDAL_OUTPUT_DIR}/BOOTFILES/README.SCC COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/readme/Cdrom.txt ${QUENDAL_OUTPUT_DIR}/Cdrom/README.TXT COPYONLY)

if(NOT TARGET Sarvik)
  message(STATUS "PWD: no login program is built, so the login volume carries no launcher")
  return()
endif()

# The launcher on the disk is the launcher of bin/, with one difference: what it
# carries is stripped of symbols and debugging sections, which a debug build
# would otherwise make several times larger than the whole login volume.
set(disk_dir ${CMAKE_CURRENT_BINARY_DIR}/disk)
file(MAKE_DIRECTORY ${disk_dir})
set(disk_rows)
foreach(row "130;Sarvik;Sarvik.exe" "131;SCSI;SCSI.dll" "138;Quendal;Quendal.dll")
  list(GET row 0 id)
  list(GET row 1 target)
  list(GET row 2 name)
  add_custom_command(
    OUTPUT ${disk_dir}/${name}
    COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${disk_dir}/${name} $<TARGET_FILE:${target}>
    DEPENDS ${target}
    COMMENT "Stripping ${name} for the login volume"
    VERBATIM)
  list(APPEND disk_rows PACK ${id} ${disk_dir}/${name})
endforeach()
set(lang ${PROJECT_SOURCE_DIR}/payload)
list(APPEND disk_rows
  PACK 140 ${lang}/1028.ini PACK 141 ${lang}/1033.ini PACK 146 ${lang}/1042.ini PACK 142 ${lang}/2052.ini
  RAW 144 ${PROJECT_BINARY_DIR}/payload/FlashDisk.ini)
latchkin_add_payload(latchkin_disk_payload ${disk_rows})

add_executable(latchkin_disk ${PROJECT_SOURCE_DIR}/launcher/src/main.cpp)
target_link_libraries(latchkin_disk PRIVATE latchkin_core latchkin_disk_payload)
set_target_properties(latchkin_disk PROPERTIES OUTPUT_NAME Latchkin RUNTIME_OUTPUT_DIRECTORY ${QUENDAL_PWD_DIR})
add_custom_command(TARGET latchkin_disk POST_BUILD
  COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:latchkin_disk>
  VERBATIM)

# The login volume is the 2500-sector first area of a secure disk: FAT12 with
# 2451 clusters of 512 bytes. A file that does not fit is skipped by the format
# without a word, leaving a disk that cannot be logged in from, so the build
# stops here instead.
set(fit_stamp ${CMAKE_CURRENT_BINARY_DIR}/pwd-fits.stamp)
add_custom_command(
  OUTPUT ${fit_stamp}
  COMMAND ${CMAKE_COMMAND} -DFOLDER=${QUENDAL_PWD_DIR} -DCLUSTERS=2451 -DCLUSTER_BYTES=512
          -DSTAMP=${fit_stamp} -P ${CMAKE_CURRENT_LIST_DIR}/CheckLoginVolumeFit.cmake
  DEPENDS latchkin_disk $<TARGET_FILE:latchkin_disk> ${QUENDAL_PWD_DIR}/README.TXT
          ${CMAKE_CURRENT_LIST_DIR}/CheckLoginVolumeFit.cmake
  COMMENT "Checking that PWD fits the login volume"
  VERBATIM)
if(QUENDAL_SANITIZE)
  # Instrumented programs are several times larger than the volume; such a
  # build is never put on a disk.
  add_custom_target(pwd_fits DEPENDS ${fit_stamp})
else()
  add_custom_target(pwd_fits ALL DEPENDS ${fit_stamp})
endif()
