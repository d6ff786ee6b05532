// The CDX compound index file: a tag directory and one compact B-tree per tag, 512-byte
// pages, leaf keys compressed (shared leading bytes and trailing blanks left out).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellora::store::cdx {

constexpr int kPageSize = 512;

struct TagImage {
    std::string name;  // written upper case, blank padded to 10 in the directory
    std::string keyExpression;
    std::string forExpression;
    bool descending = false;
    int keyLength = 0;
    // Trailing bytes equal to this are left out of leaf keys: blank for character keys, '\0'
    // for date and numeric keys, which are stored whole.
    char padByte = ' ';
    // Keys in index order (the order a reader walking the leaves sees), keyLength bytes each.
    std::vector<std::pair<std::string_view, std::uint32_t>> entries;
};

// The whole file for these tags (tags are listed in the directory in name order).
std::vector<std::uint8_t> build(const std::vector<TagImage>& tags);

struct TagDefinition {
    std::string name;  // trailing blanks removed
    std::string keyExpression;
    std::string forExpression;
    bool descending = false;
    int keyLength = 0;
    std::uint32_t headerOffset = 0;
};

// Reads the tag definitions of a compound index (in directory order). Throws TableError
// (BadIndex) for anything that is not a well-formed compound index.
std::vector<TagDefinition> readDefinitions(const std::uint8_t* data, std::size_t size);

// Reads a tag's keys in stored order (for checks and tools). Throws TableError (BadIndex).
std::vector<std::pair<std::string, std::uint32_t>> readKeys(const std::uint8_t* data,
                                                            std::size_t size,
                                                            std::uint32_t headerOffset);

}  // namespace pellora::store::cdx
