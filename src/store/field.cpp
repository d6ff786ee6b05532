#include "store/field.h"

namespace pellora::store {

std::vector<FieldLayout> layoutFields(const std::vector<FieldDef>& defs) {
    std::vector<FieldLayout> out;
    out.reserve(defs.size());
    int offset = 1;  // byte 0 is the deletion flag
    for (const auto& d : defs) {
        out.push_back({d.name, d.type, d.width, d.decimals, offset});
        offset += d.width;
    }
    return out;
}

}  // namespace pellora::store
