// Checks that a table's index file says exactly what its records say.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "store/cdx.h"
#include "store/table.h"
#include "store/xbase_expr.h"
#include "support/temp_dir.h"

namespace pellora::test {

// The raw record as the file holds it, rebuilt from the current record's fields.
inline std::string rawRecord(const store::Table& t) {
    std::string r(1, t.deleted() ? '*' : ' ');
    for (int f = 0; f < static_cast<int>(t.fields().size()); ++f) r += t.fieldBytes(f);
    return r;
}

// Flushes the index and compares every tag in the file with the keys computed afresh from
// the records: same keys, same record numbers, same order, records failing FOR left out.
inline void expectIndexMatchesRecords(store::Table& t) {
    t.flush();
    std::string file = readFile(t.indexPath());
    auto defs = store::cdx::readDefinitions(reinterpret_cast<const std::uint8_t*>(file.data()),
                                            file.size());
    ASSERT_EQ(defs.size(), t.tags().size());
    const std::uint32_t keep = t.recNo();
    for (const auto& d : defs) {
        SCOPED_TRACE("tag " + d.name);
        auto key = store::Expression::compile(d.keyExpression, t.fields());
        store::Expression cond;
        if (!d.forExpression.empty()) cond = store::Expression::compile(d.forExpression, t.fields());
        std::vector<std::pair<std::string, std::uint32_t>> expected;
        for (std::uint32_t n = 1; n <= t.recCount(); ++n) {
            ASSERT_TRUE(t.go(n));
            std::string raw = rawRecord(t);
            auto* rec = reinterpret_cast<const std::uint8_t*>(raw.data());
            if (cond.valid() && !cond.evaluateLogical(rec)) continue;
            expected.emplace_back(key.evaluateKey(rec), n);
        }
        std::stable_sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
            return d.descending ? a.first > b.first : a.first < b.first;
        });
        auto stored = store::cdx::readKeys(reinterpret_cast<const std::uint8_t*>(file.data()),
                                           file.size(), d.headerOffset);
        ASSERT_EQ(stored.size(), expected.size());
        for (std::size_t i = 0; i < stored.size(); ++i) {
            ASSERT_EQ(stored[i].second, expected[i].second) << "entry " << i;
            ASSERT_EQ(stored[i].first, expected[i].first) << "entry " << i;
        }
    }
    t.go(keep);
}

}  // namespace pellora::test
