# Writes the bytes of IN as a C++ array (the built-in fax font resource) to OUT.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" n)
math(EXPR size "${n} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT}
"// Generated from faxfont.bin; do not edit.\n"
"#include <cstddef>\n#include <cstdint>\n\n"
"namespace pellora::fax::detail {\n"
"extern const uint8_t kFaxFontResource[];\n"
"extern const std::size_t kFaxFontResourceSize;\n"
"const uint8_t kFaxFontResource[] = {\n${bytes}\n};\n"
"const std::size_t kFaxFontResourceSize = ${size};\n"
"}  // namespace pellora::fax::detail\n")
