// Field descriptions shared by the table engine and the expression compiler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pellora::store {

// One field of a table as the DBF header describes it. Types: 'C' character, 'L' logical,
// 'D' date ("YYYYMMDD" or blanks), 'N' numeric (right-aligned ASCII), 'M' memo (10-digit
// block number of the FPT memo file, blanks for none).
struct FieldDef {
    std::string name;  // upper case, at most 10 characters
    char type = 'C';
    int width = 0;
    int decimals = 0;
};

// A field as laid out inside a record buffer. Byte 0 of every record is the deletion flag
// (' ' live, '*' deleted); `offset` counts from that byte, so the first field is at 1.
struct FieldLayout {
    std::string name;
    char type = 'C';
    int width = 0;
    int decimals = 0;
    int offset = 0;
};

// Lays out fields one after the other behind the deletion flag.
std::vector<FieldLayout> layoutFields(const std::vector<FieldDef>& defs);

}  // namespace pellora::store
