# Turns one assembled blob into a C++ array definition.
#   cmake -DIN=blob.bin -DOUT=blob.cpp -DNAME=kSomething -DMAX=446 -P EmbedBlob.cmake
# Fails the build when the blob outgrows the space its template leaves it.
file(SIZE "${IN}" size)
if(size GREATER MAX)
  message(FATAL_ERROR "${IN}: ${size} bytes, but only ${MAX} fit in its template")
endif()
if(size EQUAL 0)
  message(FATAL_ERROR "${IN}: empty")
endif()
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUT}.tmp"
"// Generated at build time from ${IN}; do not edit.\n"
"#include \"BootCode.h\"\n\n"
"namespace bootcode {\n"
"extern const uint8_t ${NAME}[] = {\n    ${bytes}\n};\n"
"extern const size_t ${NAME}Size = sizeof(${NAME});\n"
"} // namespace bootcode\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
