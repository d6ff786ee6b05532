// plxfax table: create, list and change the program's tables from the command line.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "commands.h"
#include "store/cdx.h"
#include "store/fax_store.h"
#include "store/table.h"

namespace plxfax {

namespace fs = std::filesystem;
using pellora::store::FaxStore;
using pellora::store::FaxTableId;
using pellora::store::Table;
using pellora::store::TableEnvironment;
using pellora::store::TableError;

namespace {

std::string printable(std::string_view s) {
    std::string out;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F) ? '.' : c;
    }
    return out;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void openTable(Table& t, const std::string& path) {
    if (!fs::exists(path)) throw std::runtime_error(path + ": no such table");
    t.open(path);
}

int init(const Args& a) {
    if (a.size() != 2) throw UsageError{"init takes one folder"};
    fs::path dir = a[1];
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir)) throw std::runtime_error(dir.string() + " is not a folder");
    FaxStore store(dir);
    Table cover, phone;
    struct Step {
        const char* what;
        bool ok;
    } steps[] = {{"PLX.DBF", store.OpenFaxDBF()},
                 {"PLXREC.DBF", store.OpenRecFaxDBF()},
                 {"PLXCOV.DBF", store.OpenCoverDBF(cover)},
                 {"PLXPB.DBF", store.OpenPhoneDBF(phone)}};
    int failed = 0;
    for (const auto& s : steps) {
        if (s.ok) {
            std::printf("%s ready\n", (dir / s.what).c_str());
        } else {
            std::fprintf(stderr, "plxfax table: unable to open or create %s\n",
                         (dir / s.what).c_str());
            ++failed;
        }
    }
    return failed ? 1 : 0;
}

int dump(const Args& a) {
    if (a.size() < 2) throw UsageError{"dump needs a table file"};
    std::string tag, query;
    bool natural = false, withDeleted = false;
    for (std::size_t i = 2; i < a.size(); ++i) {
        if (a[i] == "--tag" && i + 1 < a.size()) tag = a[++i];
        else if (a[i] == "--query" && i + 1 < a.size()) query = a[++i];
        else if (a[i] == "--natural") natural = true;
        else if (a[i] == "--deleted") withDeleted = true;
        else throw UsageError{"unknown option '" + a[i] + "'"};
    }
    if (natural && !tag.empty()) throw UsageError{"--tag and --natural exclude each other"};
    TableEnvironment env;
    env.skipDeleted = !withDeleted;
    Table t(env);
    openTable(t, a[1]);

    auto tags = t.tags();
    // Order and query first, so that a wrong one is reported before anything is listed.
    if (!tag.empty()) {
        int n = t.tagNumber(tag);
        if (n == 0) throw std::runtime_error("no tag named " + tag);
        t.setOrder(n);
    } else if (!natural && !tags.empty()) {
        t.setOrder(1);
    }
    t.setQuery(query);

    std::printf("table: %s\n", a[1].c_str());
    std::printf("version: 0x%02X\nrecords: %u\nheader length: %d\nrecord length: %d\n",
                t.version(), t.recCount(), t.headerLength(), t.recordLength());
    std::printf("fields:");
    for (const auto& f : t.fields()) {
        std::printf(" %s %c(%d", f.name.c_str(), f.type, f.width);
        if (f.decimals) std::printf(",%d", f.decimals);
        std::printf(")");
    }
    std::printf("\n");
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const auto& g = tags[i];
        std::printf("tag %zu: %s key \"%s\"%s%s%s%s keys %zu\n", i + 1, g.name.c_str(),
                    g.keyExpression.c_str(), g.descending ? " descending" : " ascending",
                    g.forExpression.empty() ? "" : " for \"", g.forExpression.c_str(),
                    g.forExpression.empty() ? "" : "\"", g.keyCount);
    }
    std::printf("order: %s\n", t.order() ? tags[static_cast<std::size_t>(t.order() - 1)].name.c_str()
                                         : "record number");
    for (bool ok = t.first(); ok; ok = t.next()) {
        std::printf("%u%s", t.recNo(), t.deleted() ? "*" : "");
        for (int f = 0; f < static_cast<int>(t.fields().size()); ++f) {
            const auto& fl = t.fields()[static_cast<std::size_t>(f)];
            if (fl.type == 'M') {
                std::string memo = t.getMemo(f);
                std::printf("|[%zu] %s", memo.size(), printable(memo.substr(0, 40)).c_str());
            } else {
                std::printf("|%s", printable(t.fieldBytes(f)).c_str());
            }
        }
        std::printf("\n");
    }
    return 0;
}

int add(const Args& a) {
    if (a.size() < 3) throw UsageError{"add needs a table file and FIELD=VALUE pairs"};
    Table t;
    openTable(t, a[1]);
    t.appendBlank();
    for (std::size_t i = 2; i < a.size(); ++i) {
        auto eq = a[i].find('=');
        if (eq == std::string::npos || eq == 0)
            throw UsageError{"'" + a[i] + "' is not FIELD=VALUE"};
        std::string name = a[i].substr(0, eq), value = a[i].substr(eq + 1);
        int f = t.fieldIndex(name);
        if (f < 0) throw std::runtime_error("no field named " + name);
        if (t.fields()[static_cast<std::size_t>(f)].type == 'M') {
            if (value.empty() || value[0] != '@')
                throw std::runtime_error(name + " is a memo field: give its text as @FILE");
            t.setMemo(f, readFile(value.substr(1)));
        } else {
            t.setField(f, value);
        }
    }
    t.post();
    std::printf("record %u added.\n", t.recNo());
    t.close();
    return 0;
}

int del(const Args& a) {
    if (a.size() != 4 || a[2] != "--where") throw UsageError{"delete needs --where EXPR"};
    TableEnvironment env;
    env.skipDeleted = false;
    Table t(env);
    openTable(t, a[1]);
    t.setOrder(0);
    unsigned count = 0;
    t.evalLogical(a[3]);  // a malformed condition stops here, before anything is deleted
    for (bool ok = t.first(); ok; ok = t.next()) {
        if (!t.deleted() && t.evalLogical(a[3])) {
            t.deleteRecord();
            ++count;
        }
    }
    t.close();
    std::printf("%u deleted.\n", count);
    return 0;
}

int pack(const Args& a) {
    if (a.size() != 2) throw UsageError{"pack takes one table file"};
    Table t;
    openTable(t, a[1]);
    std::uint32_t before = t.recCount();
    t.pack();
    std::printf("%u records removed, %u remain.\n", before - t.recCount(), t.recCount());
    t.close();
    return 0;
}

int reindex(const Args& a) {
    if (a.size() != 2) throw UsageError{"reindex takes one table file"};
    Table t;
    std::vector<pellora::store::TagInfo> tags;
    try {
        openTable(t, a[1]);
        tags = t.tags();
    } catch (const TableError& e) {
        if (e.kind() != TableError::Kind::BadIndex) throw;
        std::fprintf(stderr, "plxfax table: %s; building the index anew\n", e.what());
        fs::remove(pellora::store::indexPathFor(a[1]));
        openTable(t, a[1]);
    }
    if (tags.empty()) {
        // A table of the program's own without an index gets the tag it always has.
        std::string name = fs::path(a[1]).filename().string();
        for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (auto id : {FaxTableId::Outgoing, FaxTableId::Received, FaxTableId::Cover,
                        FaxTableId::PhoneBook}) {
            const auto& schema = pellora::store::faxTableSchema(id);
            if (name == schema.fileName)
                tags.push_back({schema.tagName, schema.keyExpression, schema.forExpression,
                                schema.descending, 0, 0});
        }
    }
    t.closeIndexes();
    fs::remove(t.indexPath());
    for (const auto& g : tags) t.createTag(g.name, g.keyExpression, g.descending, g.forExpression);
    std::printf("%zu tag%s rebuilt.\n", tags.size(), tags.size() == 1 ? "" : "s");
    t.close();
    return 0;
}

}  // namespace

int tableCommand(const Args& a) {
    if (a.empty()) throw UsageError{"missing subcommand"};
    const std::string& sub = a[0];
    try {
        if (sub == "init") return init(a);
        if (sub == "dump") return dump(a);
        if (sub == "add") return add(a);
        if (sub == "delete") return del(a);
        if (sub == "pack") return pack(a);
        if (sub == "reindex") return reindex(a);
    } catch (const TableError& e) {
        std::fprintf(stderr, "plxfax table: %s\n", e.what());
        return 1;
    }
    throw UsageError{"unknown subcommand '" + sub + "'"};
}

}  // namespace plxfax
