// A table opened from arbitrary DBF, FPT and CDX files. The input is split in three by its
// first four bytes (two little-endian lengths: DBF part, FPT part; the rest is the CDX).
// Every record, field and memo is read and every tag walked; failures must be TableErrors.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "store/table.h"

namespace fs = std::filesystem;

namespace {

const fs::path& folder() {
    static fs::path dir = fs::temp_directory_path() / ("fuzz-table-" + std::to_string(getpid()));
    static bool made = fs::create_directories(dir) || true;
    (void)made;
    return dir;
}

void put(const fs::path& p, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellora::store;
    if (size < 4) return 0;
    std::size_t dbfSize = data[0] | (data[1] << 8), fptSize = data[2] | (data[3] << 8);
    data += 4;
    size -= 4;
    dbfSize = std::min(dbfSize, size);
    fptSize = std::min(fptSize, size - dbfSize);
    const fs::path dbf = folder() / "T.DBF";
    put(dbf, data, dbfSize);
    put(folder() / "T.FPT", data + dbfSize, fptSize);
    std::error_code ec;
    fs::remove(folder() / "T.CDX", ec);
    if (size > dbfSize + fptSize)
        put(folder() / "T.CDX", data + dbfSize + fptSize, size - dbfSize - fptSize);

    TableEnvironment env;
    env.skipDeleted = false;
    Table t(env);
    try {
        t.open(dbf);
        for (int order = 0; order <= static_cast<int>(t.tags().size()); ++order) {
            t.setOrder(order);
            for (bool ok = t.first(); ok; ok = t.next()) {
                for (int f = 0; f < static_cast<int>(t.fields().size()); ++f) {
                    if (t.fields()[static_cast<std::size_t>(f)].type == 'M') t.getMemo(f);
                    else t.getString(f);
                }
            }
        }
        t.setQuery(".not. deleted()");
        t.queryCount();
        t.close();
    } catch (const TableError&) {
    }
    return 0;
}
