// Kills a process that is busy changing a table at random moments, many times over, and
// checks after every kill that nothing it reported as done was lost and that the table opens
// with an index equal to a fresh rebuild.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "store/fax_store.h"
#include "store/table.h"
#include "support/temp_dir.h"
#include "table_checks.h"

using namespace pellora::store;

namespace {

std::string memoFor(int id, int version) {
    std::string base = "memo-" + std::to_string(id) + "-" + std::to_string(version) + "|";
    std::string out;
    for (int i = 0; i < 1 + (id * 7 + version) % 40; ++i) out += base;
    return out;
}

void report(int fd, const std::string& line) {
    std::string l = line + "\n";
    if (write(fd, l.data(), l.size()) < 0) _exit(3);
}

// The child: change the table for ever, telling the parent before ("B ...") and after each
// change. Never returns.
[[noreturn]] void churn(const std::filesystem::path& dbf, int fd, unsigned seed, int nextId) {
    try {
        Table t;
        t.open(dbf);
        const int rid = t.fieldIndex("RECIPIENT"), subj = t.fieldIndex("SUBJECT"),
                  day = t.fieldIndex("DATESENT"), memo = t.fieldIndex("RTFDOC");
        std::mt19937 rng(seed);
        std::map<int, std::pair<std::uint32_t, int>> live;  // id -> (recno, version)
        for (std::uint32_t n = 1; n <= t.recCount(); ++n) {
            t.go(n);
            if (t.deleted()) continue;
            int id = std::stoi(t.getString(rid));
            live[id] = {n, std::stoi(t.getString(subj).substr(1))};
        }
        for (;;) {
            auto op = rng() % 100;
            if (op < 55 || live.empty()) {
                int id = nextId++;
                report(fd, "B A " + std::to_string(id) + " 0");
                t.appendBlank();
                t.setField(rid, std::to_string(id));
                t.setField(subj, "v0");
                t.setField(day, "2026" + std::to_string(10 + rng() % 3) + "1" + std::to_string(rng() % 10));
                t.setMemo(memo, memoFor(id, 0));
                t.post();
                live[id] = {t.recNo(), 0};
                report(fd, "A " + std::to_string(id) + " 0");
            } else if (op < 80) {
                auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
                int id = it->first, ver = it->second.second + 1;
                report(fd, "B E " + std::to_string(id) + " " + std::to_string(ver));
                t.go(it->second.first);
                t.edit();
                t.setField(subj, "v" + std::to_string(ver));
                t.setMemo(memo, memoFor(id, ver));
                t.post();
                it->second.second = ver;
                report(fd, "E " + std::to_string(id) + " " + std::to_string(ver));
            } else if (op < 96) {
                auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
                int id = it->first;
                report(fd, "B D " + std::to_string(id) + " 0");
                t.go(it->second.first);
                t.deleteRecord();
                live.erase(it);
                report(fd, "D " + std::to_string(id) + " 0");
            } else {
                report(fd, "B P 0 0");
                t.pack();
                live.clear();
                for (std::uint32_t n = 1; n <= t.recCount(); ++n) {
                    t.go(n);
                    int id = std::stoi(t.getString(rid));
                    live[id] = {n, std::stoi(t.getString(subj).substr(1))};
                }
                report(fd, "P 0 0");
            }
        }
    } catch (const std::exception& e) {
        report(fd, std::string("X ") + e.what());
        _exit(2);
    }
}

struct Expected {
    bool live = false;
    int version = 0;
};

TEST(TableCrash, KilledAtRandomPointsLosesNothingPostedAndKeepsTheIndexWhole) {
    pellora::test::TempDir dir;
    const auto dbf = dir / "PLX.DBF";
    {
        FaxStore store(dir.path());
        ASSERT_TRUE(store.OpenFaxDBF());
    }
    std::map<int, Expected> model;
    std::mt19937 rng(20261211);
    int nextId = 1;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            churn(dbf, fds[1], static_cast<unsigned>(rng()), nextId);
        }
        close(fds[1]);
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 40000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        std::string log;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) log.append(buf, static_cast<std::size_t>(n));
        close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << log.substr(log.size() > 300 ? log.size() - 300 : 0);

        // Replay what the child reported; remember the change it was in the middle of.
        std::istringstream in(log);
        std::string line;
        char inflightOp = 0;
        int inflightId = 0, inflightVersion = 0;
        while (std::getline(in, line)) {
            if (in.eof() && !log.empty() && log.back() != '\n') break;  // cut mid-line
            std::istringstream ls(line);
            std::string tag;
            ls >> tag;
            ASSERT_NE(tag, "X") << line;
            if (tag == "B") {
                std::string op;
                ls >> op >> inflightId >> inflightVersion;
                inflightOp = op[0];
                continue;
            }
            int id = 0, version = 0;
            ls >> id >> version;
            if (tag == "A") {
                model[id] = {true, 0};
                nextId = std::max(nextId, id + 1);
            } else if (tag == "E") {
                model[id].version = version;
            } else if (tag == "D") {
                model[id].live = false;
            }
            inflightOp = 0;
        }
        if (inflightOp == 'A') nextId = std::max(nextId, inflightId + 1);

        // What the table holds now.
        TableEnvironment env;
        env.skipDeleted = false;
        Table t(env);
        ASSERT_NO_THROW(t.open(dbf));
        std::map<int, std::pair<bool, int>> seen;  // id -> (live, version)
        for (std::uint32_t r = 1; r <= t.recCount(); ++r) {
            ASSERT_TRUE(t.go(r));
            int id = std::stoi(t.getString(t.fieldIndex("RECIPIENT")));
            int ver = std::stoi(t.getString(t.fieldIndex("SUBJECT")).substr(1));
            ASSERT_EQ(seen.count(id), 0u) << "id " << id << " twice";
            seen[id] = {!t.deleted(), ver};
            ASSERT_EQ(t.getMemo(t.fieldIndex("RTFDOC")), memoFor(id, ver)) << "id " << id;
        }
        for (auto& [id, e] : model) {
            SCOPED_TRACE("id " + std::to_string(id));
            auto s = seen.find(id);
            bool live = s != seen.end() && s->second.first;
            int ver = s != seen.end() ? s->second.second : -1;
            if (inflightOp && inflightId == id) {
                if (inflightOp == 'E') {
                    ASSERT_TRUE(live);
                    ASSERT_TRUE(ver == e.version || ver == inflightVersion);
                    e.version = ver;
                } else if (inflightOp == 'D') {
                    e.live = live;
                    if (live) {
                        ASSERT_EQ(ver, e.version);
                    }
                }
                continue;
            }
            ASSERT_EQ(live, e.live);
            if (live) {
                ASSERT_EQ(ver, e.version);
            }
        }
        if (inflightOp == 'A' && seen.count(inflightId)) {
            ASSERT_TRUE(seen[inflightId].first);
            model[inflightId] = {true, 0};
        }
        for (auto& [id, s] : seen) ASSERT_TRUE(model.count(id)) << "unknown id " << id;
        pellora::test::expectIndexMatchesRecords(t);
        // A pack can end up half way; what is left must be only what it would have dropped.
        for (auto it = model.begin(); it != model.end();)
            it = (!it->second.live && !seen.count(it->first)) ? model.erase(it) : std::next(it);
    }
    EXPECT_GT(model.size(), 10u);
}

}  // namespace
