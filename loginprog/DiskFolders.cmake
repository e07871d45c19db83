# The folders beside the manager that the format procedure copies from:
#   PWD/        the login volume of a secure disk: the launcher and a read-me.
#   BOOTFILES/  the system files of a boot disk (left for the user to fill).
#   Cdrom/      auto.iso, the image of an emulated CD-ROM (left for the user).
#
# The format copies every plain file at the top of PWD and BOOTFILES into the
# new volume, under upper-cased 8.3 names, and skips files ending in ".SCC".
# BOOTFILES' read-me therefore ends in .SCC, so a boot disk gets only what the
# user put there; PWD's read-me is meant for the disk.
#
# PWD holds this build's launcher and, with -DQUENDAL_PEER_LAUNCHER=<file>, the
# other system's launcher beside it, so that one disk logs in from both
# systems: LATCHKIN and LATCHKIN.EXE on the disk, both 8.3 names. The fit check
# below counts both. The Windows build's own launcher goes in only when it fits.

set(QUENDAL_PWD_DIR ${QUENDAL_OUTPUT_DIR}/PWD)
file(MAKE_DIRECTORY ${QUENDAL_PWD_DIR} ${QUENDAL_OUTPUT_DIR}/BOOTFILES ${QUENDAL_OUTPUT_DIR}/Cdrom)
configure_file(${CMAKE_CURRENT_LIST_DIR}/readme/PWD.txt ${QUENDAL_PWD_DIR}/README.TXT COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/readme/BOOTFILES.txt ${QUENDAL_OUTPUT_DIR}/BOOTFILES/README.SCC COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/readme/Cdrom.txt ${QUENDAL_OUTPUT_DIR}/Cdrom/README.TXT COPYONLY)

if(WIN32)
  enable_language(RC)
  set(own_launcher_name Latchkin.exe)
  set(peer_launcher_name Latchkin)
  set(peer_system Linux)
  set(peer_magic "7f454c46") # ELF
else()
  set(own_launcher_name Latchkin)
  set(peer_launcher_name Latchkin.exe)
  set(peer_system Windows)
  set(peer_magic "4d5a") # MZ
endif()

# Everything PWD holds that the fit check below must see again when it changes.
set(pwd_files ${QUENDAL_PWD_DIR}/README.TXT)

set(QUENDAL_PEER_LAUNCHER "" CACHE FILEPATH
    "The ${peer_system} build's launcher, carried in PWD as ${peer_launcher_name} beside this build's own")
set(peer_copy ${QUENDAL_PWD_DIR}/${peer_launcher_name})
if(QUENDAL_PEER_LAUNCHER)
  if(NOT EXISTS ${QUENDAL_PEER_LAUNCHER} OR IS_DIRECTORY ${QUENDAL_PEER_LAUNCHER})
    message(FATAL_ERROR "QUENDAL_PEER_LAUNCHER: no file ${QUENDAL_PEER_LAUNCHER} (build the ${peer_system} "
                        "launcher first, or leave the option empty)")
  endif()
  # A launcher of this build's own system under the other's name would leave
  # the disk without one for the other system, unnoticed until someone tries.
  string(LENGTH ${peer_magic} magic_digits)
  math(EXPR magic_bytes "${magic_digits} / 2")
  file(READ ${QUENDAL_PEER_LAUNCHER} head LIMIT ${magic_bytes} HEX)
  if(NOT head STREQUAL peer_magic)
    message(FATAL_ERROR "QUENDAL_PEER_LAUNCHER: ${QUENDAL_PEER_LAUNCHER} is not a ${peer_system} program")
  endif()
  add_custom_command(
    OUTPUT ${peer_copy}
    COMMAND ${CMAKE_COMMAND} -E copy ${QUENDAL_PEER_LAUNCHER} ${peer_copy}
    DEPENDS ${QUENDAL_PEER_LAUNCHER}
    COMMENT "Carrying the ${peer_system} launcher in PWD"
    VERBATIM)
  list(APPEND pwd_files ${peer_copy})
elseif(EXISTS ${peer_copy})
  # Left by an earlier configuration that named one: the format would
  # otherwise go on copying it onto every disk.
  file(REMOVE ${peer_copy})
endif()

set(disk_folders_dir ${CMAKE_CURRENT_LIST_DIR})

# The launcher on the disk is the launcher of bin/, with one difference: what
# it carries is stripped of symbols and debugging sections, which a debug build
# would otherwise make larger than the whole login volume. Made in output_dir.
function(quendal_disk_launcher output_dir)
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

  add_executable(latchkin_disk WIN32 ${PROJECT_SOURCE_DIR}/launcher/src/main.cpp)
  target_link_libraries(latchkin_disk PRIVATE latchkin_core latchkin_disk_payload)
  set_target_properties(latchkin_disk PROPERTIES OUTPUT_NAME Latchkin RUNTIME_OUTPUT_DIRECTORY ${output_dir}
    AUTOMOC OFF)
  add_custom_command(TARGET latchkin_disk POST_BUILD
    COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:latchkin_disk>
    VERBATIM)
endfunction()

# The login volume is the 2500-sector first area of a secure disk: FAT12 with
# 2451 clusters of 512 bytes. A file that does not fit is skipped by the format
# without a word, leaving a disk that cannot be logged in from, so the build
# stops here instead. A candidate (a file and the name it takes in PWD) is put
# into PWD only when PWD still fits with it.
function(quendal_pwd_fit_check candidate candidate_name)
  set(fit_stamp ${CMAKE_CURRENT_BINARY_DIR}/pwd-fits.stamp)
  # The launcher is a file of another target: without a dependency on the
  # target itself, generators that build each folder's targets apart (Unix
  # Makefiles) would look for a rule to make the file here and find none.
  set(extra_depends)
  if(candidate OR TARGET latchkin_disk)
    set(extra_depends latchkin_disk)
  endif()
  add_custom_command(
    OUTPUT ${fit_stamp}
    COMMAND ${CMAKE_COMMAND} -DFOLDER=${QUENDAL_PWD_DIR} -DCLUSTERS=2451 -DCLUSTER_BYTES=512
            -DSTAMP=${fit_stamp} -DCANDIDATE=${candidate} -DCANDIDATE_NAME=${candidate_name}
            -P ${disk_folders_dir}/CheckLoginVolumeFit.cmake
    DEPENDS ${pwd_files} ${extra_depends} ${disk_folders_dir}/CheckLoginVolumeFit.cmake
    COMMENT "Checking that PWD fits the login volume"
    VERBATIM)
  add_custom_target(pwd_fits ALL DEPENDS ${fit_stamp})
endfunction()

if(WIN32)
  # Linked statically, the Windows login program, transport and library make a
  # launcher that may be larger than the login volume. It is made apart, in
  # disk-launcher/, and goes into PWD only when PWD still fits with it; the
  # build says so when it does not. The login program is defined after this
  # file is read (win32/), so this waits until the folder is done.
  function(quendal_windows_pwd)
    if(TARGET Sarvik)
      quendal_disk_launcher(${CMAKE_CURRENT_BINARY_DIR}/disk-launcher)
      quendal_pwd_fit_check($<TARGET_FILE:latchkin_disk> ${own_launcher_name})
    else()
      message(STATUS "PWD: no login program is built, so the login volume carries no launcher of this build")
      file(REMOVE ${QUENDAL_PWD_DIR}/${own_launcher_name})
      quendal_pwd_fit_check("" "")
    endif()
  endfunction()
  cmake_language(DEFER CALL quendal_windows_pwd)
  return()
endif()

if(TARGET Sarvik)
  set(QUENDAL_PWD_LAUNCHER ${QUENDAL_PWD_DIR}/${own_launcher_name})
  list(APPEND pwd_files ${QUENDAL_PWD_LAUNCHER})
else()
  message(STATUS "PWD: no login program is built, so the login volume carries no launcher of this build")
endif()

if(NOT QUENDAL_PWD_LAUNCHER)
  # Nothing of this build's own to make; a peer launcher is still carried and
  # counted.
elseif(QUENDAL_SANITIZE)
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
  quendal_disk_launcher(${QUENDAL_PWD_DIR})
endif()

quendal_pwd_fit_check("" "")
