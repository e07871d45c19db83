# cmake -DPWD=<dir> -DOWN=<name or ""> -DPEER=<file or ""> -DPEER_NAME=<name>
#       -DFIT_SCRIPT=<CheckLoginVolumeFit.cmake> -DSCRATCH=<dir> -P pwd_folder_test.cmake
# What the build put into PWD for the login volume: its own launcher (when it
# builds the login program), the other system's launcher exactly as named by
# QUENDAL_PEER_LAUNCHER (and none when the option is empty), and a fit check
# that counts every file the format will copy, the second launcher included.

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

# The fit check over folders of known sizes: 2451 clusters of 512 bytes.
function(fill path bytes)
  string(REPEAT "x" ${bytes} content)
  file(WRITE ${path} "${content}")
endfunction()
function(check_fit folder result_var output_var)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DFOLDER=${folder} -DCLUSTERS=2451 -DCLUSTER_BYTES=512
            -DSTAMP=${folder}.stamp -P ${FIT_SCRIPT}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${result_var} ${rc} PARENT_SCOPE)
  set(${output_var} "${out}${err}" PARENT_SCOPE)
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

file(REMOVE_RECURSE ${work})
if(failures)
  message(FATAL_ERROR "PWD folder:\n${failures}")
endif()
message(STATUS "PWD folder: as expected")
