// The compound index reader on arbitrary bytes: it must reject what it cannot read with a
// TableError, never crash, loop or allocate without bound.
#include <cstddef>
#include <cstdint>

#include "store/cdx.h"
#include "store/table_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellora::store;
    try {
        for (const auto& tag : cdx::readDefinitions(data, size)) {
            try {
                cdx::readKeys(data, size, tag.headerOffset);
            } catch (const TableError&) {
            }
        }
    } catch (const TableError&) {
    }
    return 0;
}
