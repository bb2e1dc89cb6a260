# cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DNAME=symbol -P embed_file.cmake
# Writes FILE's bytes as `extern const unsigned char NAME[]` (with a terminating zero) and
# `extern const unsigned long NAME_size`, so a tool carries a page of its own.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
  "// Made from ${INPUT} at build time.\n"
  "extern const unsigned char ${NAME}[];\nextern const unsigned long ${NAME}_size;\n"
  "const unsigned char ${NAME}[] = {\n${bytes}0x00};\nconst unsigned long ${NAME}_size = ${size};\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
