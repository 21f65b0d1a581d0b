# Writes the compiled XDP program into a C++ source as an array of bytes.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUT} "// Generated from the XDP program's object file.\n"
  "alignas(8) extern const unsigned char zok_xdp_object[] = {${bytes}};\n"
  "extern const unsigned long zok_xdp_object_size = ${size};\n")
