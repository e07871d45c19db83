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

set(QUENDAL_PWD_LAUNCHER ${QUENDAL_PWD_DIR}/Latchkin)

if(QUENDAL_SANITIZE)
  # Instrumented programs are several times larger than the whole volume, and
  # a disk never carries them: the launcher for PWD comes from a build of the
  # same sources without instrumentation, made inside this one.
  include(ExternalProject)
  set(edition_dir ${CMAKE_BINARY_DIR}/disk-edition)
  ExternalProject_Add(latchkin_disk_edition
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${edition_dir}
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=MinSizeRel -DQUENDAL_SANITIZE=OFF -DQUENDAL_BUILD_TESTS=OFF
               -DQUENDAL_BUILD_BENCH=OFF -DQUENDAL_FUZZ=OFF
               -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${edition_dir} --target latchkin_disk -j 2
    BUILD_BYPRODUCTS ${edition_dir}/bin/PWD/Latchkin
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  add_custom_command(
    OUTPUT ${QUENDAL_PWD_LAUNCHER}
    COMMAND ${CMAKE_COMMAND} -E copy ${edition_dir}/bin/PWD/Latchkin ${QUENDAL_PWD_LAUNCHER}
    DEPENDS latchkin_disk_edition ${edition_dir}/bin/PWD/Latchkin
    COMMENT "Taking the uninstrumented launcher into PWD"
    VERBATIM)
else()
  # The launcher on the disk is the launcher of bin/, with one difference: what
  # it carries is stripped of symbols and debugging sections, which a debug
  # build would otherwise make larger than the whole login volume.
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
  set_target_properties(latchkin_disk PROPERTIES OUTPUT_NAME Latchkin RUNTIME_OUTPUT_DIRECTORY ${QUENDAL_PWD_DIR}
    AUTOMOC OFF)
  add_custom_command(TARGET latchkin_disk POST_BUILD
    COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:latchkin_disk>
    VERBATIM)
endif()

# The login volume is the 2500-sector first area of a secure disk: FAT12 with
# 2451 clusters of 512 bytes. A file that does not fit is skipped by the format
# without a word, leaving a disk that cannot be logged in from, so the build
# stops here instead.
set(fit_stamp ${CMAKE_CURRENT_BINARY_DIR}/pwd-fits.stamp)
add_custom_command(
  OUTPUT ${fit_stamp}
  COMMAND ${CMAKE_COMMAND} -DFOLDER=${QUENDAL_PWD_DIR} -DCLUSTERS=2451 -DCLUSTER_BYTES=512
          -DSTAMP=${fit_stamp} -P ${CMAKE_CURRENT_LIST_DIR}/CheckLoginVolumeFit.cmake
  DEPENDS ${QUENDAL_PWD_LAUNCHER} ${QUENDAL_PWD_DIR}/README.TXT
          ${CMAKE_CURRENT_LIST_DIR}/CheckLoginVolumeFit.cmake
  COMMENT "Checking that PWD fits the login volume"
  VERBATIM)
add_custom_target(pwd_fits ALL DEPENDS ${fit_stamp})
