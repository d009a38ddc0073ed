# Writes a C++ source that holds a JSON file's bytes, so a program serves the file without reading it at run time.
# cmake -DINPUT=file.json -DOUTPUT=file.cpp -DFUNCTION=name -P embed_json.cmake
# The function, in namespace Wsr37100::service, returns the bytes as a std::string_view. A file that
# is not valid JSON fails the build.
file(READ ${INPUT} text)
string(JSON ignored ERROR_VARIABLE error TYPE "${text}")
if(error)
  message(FATAL_ERROR "${INPUT} is not valid JSON: ${error}")
endif()
file(READ ${INPUT} bytes HEX)
string(LENGTH "${bytes}" digits)
math(EXPR size "${digits} / 2")
string(REPEAT "[0-9a-f]" 32 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")  # 16 bytes a line
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
get_filename_component(name ${INPUT} NAME)
file(WRITE ${OUTPUT}.new "// Generated from ${name} by embed_json.cmake; edit ${name} instead.
#include <string_view>

namespace Wsr37100::service {

namespace {
constexpr unsigned char kBytes[${size} + 1] = {
${bytes}0};
}  // namespace

std::string_view ${FUNCTION}() { return {reinterpret_cast<const char*>(kBytes), ${size}}; }

}  // namespace Wsr37100::service
")
file(RENAME ${OUTPUT}.new ${OUTPUT})
