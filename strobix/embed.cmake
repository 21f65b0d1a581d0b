# Writes the camera's description into a C++ source as bytes, so that the
# binary serves it without a file beside it.
#   cmake -DIN=camera.xml -DOUT=description_data.cpp -P embed.cmake
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" length)
math(EXPR bytes "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" body "${body}")
file(WRITE ${OUT} "// Generated from camera.xml by embed.cmake.\n#include <cstddef>\n\n"
  "extern const unsigned char camera_description[] = {\n${body}\n};\n"
  "extern const std::size_t camera_description_size = ${bytes};\n")
