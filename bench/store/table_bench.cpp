// The table engine against SQLite on the same workload: 100,000 outgoing-fax records (memo
// included), appended with the date index kept up to date, scanned in index order, counted
// under a data-manager style condition, and packed after deleting every third record.
//
// Durability is matched: each of our posts is safe once it returns if the process dies (no
// fsync), so SQLite runs each insert as its own transaction with synchronous=OFF in WAL mode.
// SQLite gets a cache large enough for the whole table, as our engine keeps records in memory.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "store/fax_store.h"
#include "store/table.h"

namespace fs = std::filesystem;
using namespace pellora::store;

namespace {

constexpr int kRecords = 100000;

struct Row {
    std::string subject, date, time, recipient, phone, rtf;
    bool sent;
};

Row makeRow(std::mt19937& rng, int i) {
    static const char* names[] = {"J SMITH", "Smithers & Co", "Acme Ltd", "Dr. Jones",
                                  "Brown",   "Zed",           "Miller",   "Garcia"};
    Row r;
    r.subject = "Quarterly report " + std::to_string(i);
    r.sent = rng() % 4 != 0;
    if (r.sent) {
        char d[16], t[8];
        std::snprintf(d, sizeof d, "%04u%02u%02u", 1999 + rng() % 28, 1 + rng() % 12,
                      1 + rng() % 28);
        std::snprintf(t, sizeof t, "%02u:%02u", rng() % 24, rng() % 60);
        r.date = d;
        r.time = t;
    }
    r.recipient = names[rng() % 8];
    r.phone = "555-" + std::to_string(1000 + rng() % 9000);
    r.rtf = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 Dear " + r.recipient +
            ",\\par " + std::string(300 + rng() % 400, 'x') + "\\par}";
    return r;
}

// A scratch folder for the whole run, removed at exit.
struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "table-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

const fs::path& benchDir() {
    static ScratchDir dir;
    return dir.path;
}

// ---------------------------------------------------------------- ours

void appendOurs(const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    FaxStore store(folder);
    if (!store.OpenFaxDBF()) std::abort();
    Table& t = store.faxTable();
    const int subject = t.fieldIndex("SUBJECT"), sent = t.fieldIndex("SENT"),
              date = t.fieldIndex("DATESENT"), time = t.fieldIndex("TIMESENT"),
              recipient = t.fieldIndex("RECIPIENT"), phone = t.fieldIndex("PHONE"),
              doc = t.fieldIndex("RTFDOC");
    std::mt19937 rng(1);
    for (int i = 0; i < kRecords; ++i) {
        Row r = makeRow(rng, i);
        t.appendBlank();
        t.setField(subject, r.subject);
        t.setField(sent, r.sent ? "T" : "F");
        t.setField(date, r.date);
        t.setField(time, r.time);
        t.setField(recipient, r.recipient);
        t.setField(phone, r.phone);
        t.setMemo(doc, r.rtf);
        t.post();
    }
    t.close();
}

const fs::path& ourTable() {
    static fs::path folder = [] {
        fs::path f = benchDir() / "ours";
        appendOurs(f);
        return f;
    }();
    return folder;
}

void BM_Table_Append_Ours(benchmark::State& state) {
    for (auto _ : state) appendOurs(benchDir() / "append");
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Table_ScanTag_Ours(benchmark::State& state) {
    Table t;
    t.open(ourTable() / "PLX.DBF");
    t.setOrder(t.tagNumber("DATESENT"));
    t.setQuery(kNotDeletedQuery);
    const int recipient = t.fieldIndex("RECIPIENT"), date = t.fieldIndex("DATESENT");
    for (auto _ : state) {
        std::size_t n = 0, bytes = 0;
        for (bool ok = t.first(); ok; ok = t.next()) {
            bytes += t.fieldBytes(recipient).size() + t.fieldBytes(date).size();
            ++n;
        }
        if (n != kRecords) state.SkipWithError("scan lost records");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Table_QueryCount_Ours(benchmark::State& state) {
    Table t;
    t.open(ourTable() / "PLX.DBF");
    t.setQuery("\"SMITH\"$ALLTRIM(UPPER(RECIPIENT)) .and. .not. deleted()");
    for (auto _ : state) benchmark::DoNotOptimize(t.queryCount());
    state.counters["matches"] = t.queryCount();
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Table_Pack_Ours(benchmark::State& state) {
    const fs::path work = benchDir() / "pack";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(work);
        fs::copy(ourTable(), work);
        state.ResumeTiming();
        Table t;
        t.open(work / "PLX.DBF");
        for (std::uint32_t n = 3; n <= kRecords; n += 3) {
            t.go(n);
            t.deleteRecord();
        }
        t.pack();
        if (t.recCount() != kRecords - kRecords / 3) state.SkipWithError("pack count");
        t.close();
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

// ---------------------------------------------------------------- SQLite

void exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", err);
        std::abort();
    }
}

sqlite3* openDb(const fs::path& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
    // Our engine holds the records in memory; give SQLite as much room (cache and mmap) so
    // that both read from memory.
    exec(db,
         "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-262144; "
         "PRAGMA mmap_size=268435456;");
    return db;
}

void appendSqlite(const fs::path& path) {
    fs::remove(path);
    fs::remove(path.string() + "-wal");
    fs::remove(path.string() + "-shm");
    sqlite3* db = openDb(path);
    exec(db,
         "CREATE TABLE fax (subject TEXT, sent INTEGER, datesent TEXT, timesent TEXT, "
         "recipient TEXT, phone TEXT, pages INTEGER, lastresult TEXT, rtfcover TEXT, "
         "rtfdoc TEXT, deleted INTEGER NOT NULL DEFAULT 0);"
         "CREATE INDEX datesent ON fax (datesent DESC, timesent DESC) WHERE deleted = 0;");
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO fax (subject, sent, datesent, timesent, recipient, phone, "
                       "rtfdoc) VALUES (?,?,?,?,?,?,?)",
                       -1, &ins, nullptr);
    std::mt19937 rng(1);
    for (int i = 0; i < kRecords; ++i) {
        Row r = makeRow(rng, i);
        sqlite3_bind_text(ins, 1, r.subject.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 2, r.sent);
        sqlite3_bind_text(ins, 3, r.date.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 4, r.time.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 5, r.recipient.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 6, r.phone.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 7, r.rtf.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(ins) != SQLITE_DONE) std::abort();
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_close(db);
}

const fs::path& sqliteDb() {
    static fs::path path = [] {
        fs::path p = benchDir() / "fax.sqlite";
        appendSqlite(p);
        return p;
    }();
    return path;
}

void BM_Table_Append_SQLite(benchmark::State& state) {
    for (auto _ : state) appendSqlite(benchDir() / "append.sqlite");
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Table_ScanTag_SQLite(benchmark::State& state) {
    sqlite3* db = openDb(sqliteDb());
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT recipient, datesent FROM fax INDEXED BY datesent WHERE deleted = 0 "
                       "ORDER BY datesent DESC, timesent DESC",
                       -1, &q, nullptr);
    for (auto _ : state) {
        std::size_t n = 0, bytes = 0;
        while (sqlite3_step(q) == SQLITE_ROW) {
            bytes += static_cast<std::size_t>(sqlite3_column_bytes(q, 0) + sqlite3_column_bytes(q, 1));
            ++n;
        }
        sqlite3_reset(q);
        if (n != kRecords) state.SkipWithError("scan lost records");
        benchmark::DoNotOptimize(bytes);
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Table_QueryCount_SQLite(benchmark::State& state) {
    sqlite3* db = openDb(sqliteDb());
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT COUNT(*) FROM fax WHERE instr(upper(trim(recipient)), 'SMITH') > 0 "
                       "AND deleted = 0",
                       -1, &q, nullptr);
    std::int64_t matches = 0;
    for (auto _ : state) {
        sqlite3_step(q);
        matches = sqlite3_column_int64(q, 0);
        sqlite3_reset(q);
    }
    state.counters["matches"] = static_cast<double>(matches);
    sqlite3_finalize(q);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Table_Pack_SQLite(benchmark::State& state) {
    const fs::path work = benchDir() / "pack.sqlite";
    for (auto _ : state) {
        state.PauseTiming();
        fs::copy_file(sqliteDb(), work, fs::copy_options::overwrite_existing);
        fs::remove(work.string() + "-wal");
        fs::remove(work.string() + "-shm");
        state.ResumeTiming();
        sqlite3* db = openDb(work);
        exec(db, "UPDATE fax SET deleted = 1 WHERE rowid % 3 = 0;");
        exec(db, "DELETE FROM fax WHERE deleted = 1; VACUUM;");
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

}  // namespace

#define TABLE_BENCH(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->UseRealTime()
TABLE_BENCH(BM_Table_Append_Ours)->Iterations(3);
TABLE_BENCH(BM_Table_Append_SQLite)->Iterations(3);
TABLE_BENCH(BM_Table_ScanTag_Ours);
TABLE_BENCH(BM_Table_ScanTag_SQLite);
TABLE_BENCH(BM_Table_QueryCount_Ours);
TABLE_BENCH(BM_Table_QueryCount_SQLite);
TABLE_BENCH(BM_Table_Pack_Ours)->Iterations(3);
TABLE_BENCH(BM_Table_Pack_SQLite)->Iterations(3);

BENCHMARK_MAIN();
