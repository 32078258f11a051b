# Turns a file into a C++ source defining `const std::span<const unsigned char> SYMBOL`.
# Run as: cmake -DINPUT=... -DOUTPUT=... -DSYMBOL=... -P EmbedFile.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <span>\n"
  "static const unsigned char kBytes[${size} + 1] = {\n${bytes}0};\n"
  "extern const std::span<const unsigned char> ${SYMBOL}(kBytes, ${size});\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
