# Turns a binary file into a C++ source defining it as a byte array:
#
#   cmake -DINPUT=file.bin -DOUTPUT=file.cpp -DNAMESPACE=ns -DNAME=kBytes [-DSIZE=n] -P embed_bin.cmake
#
# defines `const std::uint8_t ns::kBytes[n]`, declared extern so that it links from other
# sources. With SIZE, a file of any other size is refused.
foreach(_var INPUT OUTPUT NAMESPACE NAME)
    if(NOT DEFINED ${_var})
        message(FATAL_ERROR "embed_bin.cmake: ${_var} is not set")
    endif()
endforeach()

file(SIZE "${INPUT}" _size)
if(DEFINED SIZE AND NOT _size EQUAL SIZE)
    message(FATAL_ERROR "embed_bin.cmake: ${INPUT} is ${_size} bytes, expected ${SIZE}")
endif()
if(_size EQUAL 0)
    message(FATAL_ERROR "embed_bin.cmake: ${INPUT} is empty")
endif()

file(READ "${INPUT}" _hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
string(REPEAT "0x[0-9a-f][0-9a-f]," 12 _line)
string(REGEX REPLACE "(${_line})" "\\1\n    " _bytes "${_bytes}")
string(REPLACE ",0x" ", 0x" _bytes "${_bytes}")
string(REGEX REPLACE "[\n ]+$" "" _bytes "${_bytes}")
cmake_path(GET INPUT FILENAME _from)

file(WRITE "${OUTPUT}.tmp" "// Generated from ${_from} at build time; do not edit.
#include <cstdint>

namespace ${NAMESPACE} {

extern const std::uint8_t ${NAME}[${_size}];
const std::uint8_t ${NAME}[${_size}] = {
    ${_bytes}
};

}  // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
