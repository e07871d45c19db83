# cmake -DPWD=<dir> -DOWN=<name or ""> -DPEER=<file or ""> -DPEER_NAME=<name>
#       [-DDISK_LAUNCHER=<file> -DDISK_LAUNCHER_NAME=<name>]
#       -DFIT_SCRIPT=<CheckLoginVolumeFit.cmake> -DSCRATCH=<dir> -P pwd_folder_test.cmake
# What the build put into PWD for the login volume: its own launcher (when it
# builds the login program), the other system's launcher exactly as named by
# QUENDAL_PEER_LAUNCHER (and none when the option is empty), and a fit check
# that counts every file the format will copy, the second launcher included.
# DISK_LAUNCHER is a launcher that goes into PWD only if it fits there (the
# Windows build's): PWD then holds it, or it would not have fitted.

set(failures "")
# expect(<condition...> MESSAGE <text>): the condition is split into if()'s
# own arguments, so EXISTS, STREQUAL and the like work as in if().
macro(expect)
  cmake_parse_arguments(E "" "MESSAGE" "" ${ARGN})
  if(NOT (${E_UNPARSED_ARGUMENTS}))
    string(APPEND failures "  ${E_MESSAGE}\n")
  endif()
endmacro()

if(OWN)
  expect(EXISTS ${PWD}/${OWN} MESSAGE "PWD lacks this build's launcher ${OWN}")
endif()
if(PEER)
  if(EXISTS ${PWD}/${PEER_NAME})
    file(SHA256 ${PEER} want)
    file(SHA256 ${PWD}/${PEER_NAME} have)
    expect(want STREQUAL have MESSAGE "PWD/${PEER_NAME} differs from ${PEER}")
  else()
    string(APPEND failures "  PWD lacks the other system's launcher ${PEER_NAME}\n")
  endif()
else()
  expect(NOT EXISTS ${PWD}/${PEER_NAME} MESSAGE "PWD holds ${PEER_NAME} though no other launcher was named")
endif()
if(OWN AND PEER)
  # The format copies under upper-cased names: the two must stay two.
  string(TOUPPER "${OWN}" own_upper)
  string(TOUPPER "${PEER_NAME}" peer_upper)
  expect(NOT own_upper STREQUAL peer_upper MESSAGE "both launchers would be ${own_upper} on the disk")
endif()

# Sizes as the format counts them: whole clusters of 512 bytes.
function(clusters_of path out_var)
  file(SIZE ${path} size)
  math(EXPR n "(${size} + 511) / 512")
  set(${out_var} ${n} PARENT_SCOPE)
endfunction()

if(DISK_LAUNCHER)
  if(EXISTS ${PWD}/${DISK_LAUNCHER_NAME})
    file(SHA256 ${DISK_LAUNCHER} want)
    file(SHA256 ${PWD}/${DISK_LAUNCHER_NAME} have)
    expect(want STREQUAL have MESSAGE "PWD/${DISK_LAUNCHER_NAME} is not the launcher made for the disk")
  else()
    clusters_of(${DISK_LAUNCHER} total)
    file(GLOB others LIST_DIRECTORIES false ${PWD}/*)
    foreach(f ${others})
      clusters_of(${f} n)
      math(EXPR total "${total} + ${n}")
    endforeach()
    expect(total GREATER 2451 MESSAGE "PWD lacks ${DISK_LAUNCHER_NAME} though it fits (${total} of 2451 clusters)")
  endif()
endif()

# The fit check over folders of known sizes: 2451 clusters of 512 bytes.
function(fill path bytes)
  string(REPEAT "x" ${bytes} content)
  file(WRITE ${path} "${content}")
endfunction()
function(check_fit folder result_var output_var)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DFOLDER=${folder} -DCLUSTERS=2451 -DCLUSTER_BYTES=512
            -DSTAMP=${folder}.stamp ${ARGN} -P ${FIT_SCRIPT}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${result_var} ${rc} PARENT_SCOPE)
  # A ";" would split the text when it is handed on as an argument.
  string(REPLACE ";" "," text "${out}${err}")
  set(${output_var} "${text}" PARENT_SCOPE)
endfunction()

set(work ${SCRATCH}/pwd-fit)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/fits ${work}/fits/sub)
# 1000 + 1450 clusters and one byte, which takes a whole cluster: exactly full.
fill(${work}/fits/LATCHKIN 512000)
fill(${work}/fits/LATCHKIN.EXE 742400)
fill(${work}/fits/README.TXT 1)
# Neither a folder's contents nor a .SCC file reaches the disk.
fill(${work}/fits/sub/BIG 900000)
fill(${work}/fits/NOTES.SCC 900000)
check_fit(${work}/fits rc out)
expect(rc EQUAL 0 MESSAGE "a folder of exactly 2451 clusters was refused: ${out}")
expect(EXISTS ${work}/fits.stamp MESSAGE "the fit check left no stamp")
string(FIND "${out}" "2451 of 2451" at)
expect(at GREATER -1 MESSAGE "the fit check did not count 2451 of 2451 clusters: ${out}")

# One byte more in the second launcher is one cluster too many.
file(COPY ${work}/fits/ DESTINATION ${work}/over)
file(REMOVE ${work}/over.stamp)
fill(${work}/over/LATCHKIN.EXE 742401)
check_fit(${work}/over rc out)
expect(NOT rc EQUAL 0 MESSAGE "a folder one cluster over the volume passed")
expect(NOT EXISTS ${work}/over.stamp MESSAGE "a failed fit check left its stamp")
string(FIND "${out}" "LATCHKIN.EXE: 742401 bytes, 1451 clusters" at)
expect(at GREATER -1 MESSAGE "the refusal does not list the second launcher: ${out}")

# A candidate goes in only while everything fits with it, replacing an older
# copy, and is taken out again when it has grown too large; neither fails.
file(MAKE_DIRECTORY ${work}/cand)
fill(${work}/cand/LATCHKIN 512000)
fill(${work}/cand/README.TXT 1)
fill(${work}/LATCHKIN.EXE 742400)
fill(${work}/cand/LATCHKIN.EXE 10)
check_fit(${work}/cand rc out -DCANDIDATE=${work}/LATCHKIN.EXE -DCANDIDATE_NAME=LATCHKIN.EXE)
expect(rc EQUAL 0 MESSAGE "a candidate that fits failed the check: ${out}")
if(EXISTS ${work}/cand/LATCHKIN.EXE)
  file(SIZE ${work}/cand/LATCHKIN.EXE size)
  expect(size EQUAL 742400 MESSAGE "the candidate that fits did not replace the older copy")
else()
  string(APPEND failures "  a candidate that fits was not put into the folder\n")
endif()
fill(${work}/LATCHKIN.EXE 742401)
check_fit(${work}/cand rc out -DCANDIDATE=${work}/LATCHKIN.EXE -DCANDIDATE_NAME=LATCHKIN.EXE)
expect(rc EQUAL 0 MESSAGE "a candidate too large failed the check instead of staying out: ${out}")
expect(NOT EXISTS ${work}/cand/LATCHKIN.EXE MESSAGE "a candidate one cluster too large stayed in the folder")
string(FIND "${out}" "512 bytes too many" at)
expect(at GREATER -1 MESSAGE "the warning does not say by how much the candidate is too large: ${out}")

file(REMOVE_RECURSE ${work})
if(failures)
  message(FATAL_ERROR "PWD folder:\n${failures}")
endif()
message(STATUS "PWD folder: as expected")
