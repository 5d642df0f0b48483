# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=id -P Embed.cmake
# Writes the bytes of INPUT as the C++ array kvres_SYMBOL with its size.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){20})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "// Made by the build from ${INPUT}.\n"
  "#include <cstddef>\n"
  "namespace kv::res {\n"
  "extern const unsigned char kvres_${SYMBOL}[] = {\n${bytes}0};\n"
  "extern const std::size_t kvres_${SYMBOL}_size = ${size};\n"
  "}  // namespace kv::res\n")
