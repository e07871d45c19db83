# cmake -DFOLDER=<dir> -DCLUSTERS=<n> -DCLUSTER_BYTES=<n> -DSTAMP=<file>
#       [-DCANDIDATE=<file> -DCANDIDATE_NAME=<name>] -P CheckLoginVolumeFit.cmake
# Fails unless the plain files at the top of FOLDER fit into CLUSTERS clusters
# (each file takes whole clusters), as the format will copy them.
# A CANDIDATE is first put into FOLDER as CANDIDATE_NAME when everything still
# fits with it, and taken out of FOLDER (with a warning saying by how much it
# is too large) when not; then the check runs over what FOLDER holds.

# Clusters the files of FOLDER take, leaving out the file named skip; the
# listing names each.
function(count_clusters skip used_var listing_var)
  file(GLOB entries LIST_DIRECTORIES true ${FOLDER}/*)
  set(used 0)
  set(listing "")
  foreach(f ${entries})
    if(IS_DIRECTORY ${f})
      continue()
    endif()
    get_filename_component(name ${f} NAME)
    if(name MATCHES "\\.[sS][cC][cC]$" OR name STREQUAL skip)
      continue()
    endif()
    file(SIZE ${f} size)
    math(EXPR clusters "(${size} + ${CLUSTER_BYTES} - 1) / ${CLUSTER_BYTES}")
    math(EXPR used "${used} + ${clusters}")
    string(APPEND listing "  ${name}: ${size} bytes, ${clusters} clusters\n")
  endforeach()
  set(${used_var} ${used} PARENT_SCOPE)
  set(${listing_var} "${listing}" PARENT_SCOPE)
endfunction()

if(CANDIDATE)
  count_clusters("${CANDIDATE_NAME}" others others_listing)
  file(SIZE ${CANDIDATE} candidate_size)
  math(EXPR candidate_clusters "(${candidate_size} + ${CLUSTER_BYTES} - 1) / ${CLUSTER_BYTES}")
  math(EXPR with "${others} + ${candidate_clusters}")
  if(with GREATER CLUSTERS)
    file(REMOVE ${FOLDER}/${CANDIDATE_NAME})
    math(EXPR over "(${with} - ${CLUSTERS}) * ${CLUSTER_BYTES}")
    message(WARNING "${CANDIDATE_NAME} (${candidate_size} bytes, ${candidate_clusters} clusters) does not "
                    "fit the login volume beside the rest (${with} of ${CLUSTERS} clusters, ${over} bytes "
                    "too many). PWD does not carry it.\n${others_listing}")
  else()
    file(COPY_FILE ${CANDIDATE} ${FOLDER}/${CANDIDATE_NAME} ONLY_IF_DIFFERENT)
  endif()
endif()

count_clusters("" used listing)
if(used GREATER CLUSTERS)
  math(EXPR over "(${used} - ${CLUSTERS}) * ${CLUSTER_BYTES}")
  message(FATAL_ERROR "PWD does not fit the login volume: ${used} of ${CLUSTERS} clusters "
                      "(${over} bytes too many). The format would leave files out.\n${listing}")
endif()
message(STATUS "PWD fits the login volume: ${used} of ${CLUSTERS} clusters\n${listing}")
file(TOUCH ${STAMP})
