// Class 1 sessions end to end through the modem rig, in simulated time: our engine sends to
// SpanDSP's fax machine and receives from it, and every page arrives pixel for pixel; the
// failures of the Class 1 procedure (FTT down to the lowest rate, RTN, DCN, a lost carrier,
// silence) each end as they should, with the files closed and the next call working.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fax/engine/com_port.h"
#include "fax/engine/header_renderer.h"
#include "fax/engine/session_core.h"
#include "fax_pages.h"
#include "session_rig_fixture.h"

namespace pellora::fax {
namespace {

using modemsim::Fault;
using modemsim::FaultKind;
using modemsim::FarEnd;
using modemsim::ModemRig;
using modemsim::RigOptions;
using test::RigSession;
using test::pageArrived;
using test::PageSpec;
using test::Rows;

struct SendCase {
    const char* name;
    long desiredBps;
    std::vector<PageSpec> pages;
    long expectBps;
};

class Class1Send : public ::testing::TestWithParam<SendCase> {};

TEST_P(Class1Send, PagesArriveInTheFarMachinePixelForPixel) {
    const SendCase& c = GetParam();
    RigSession f(true, RigOptions{});
    auto sent = test::writePatternFax(f.dir + "/fax.plf", c.pages);
    ASSERT_EQ(sent.size(), c.pages.size());
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    f.session->DesiredBPS = c.desiredBps;
    f.session->StationID = "pellora test";
    auto code = f.run();
    ASSERT_TRUE(code.has_value()) << "the run did not end";
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(f.notifier.payloads(kNotifyError).empty());
    EXPECT_EQ(f.session->ConnectBPS(), c.expectBps);
    EXPECT_TRUE(f.rig->faxOk()) << f.rig->farResult();
    auto got = test::readTiffPages(f.far());
    ASSERT_EQ(got.size(), sent.size()) << f.rig->farFrames();
    for (std::size_t p = 0; p < sent.size(); ++p) EXPECT_TRUE(pageArrived(got[p], sent[p])) << "page " << p + 1;
    EXPECT_EQ(f.logs, (std::vector<int>{lcTransmitStart, lcTransmitOk}));
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Class1Send,
    ::testing::Values(SendCase{"OnePage9600", 9600, {{120, false}}, 9600},
                      SendCase{"TwoPagesFine14400", 14400, {{150, true}, {150, true}}, 14400},
                      SendCase{"ThreePages4800", 4800, {{60, false}, {60, false}, {60, false}}, 4800},
                      SendCase{"OnePage2400", 2400, {{40, false}}, 2400}),
    [](const auto& p) { return std::string(p.param.name); });

struct ReceiveCase {
    const char* name;
    long desiredBps;
    std::vector<int> lines;  // lines per page
    bool highRes;
};

class Class1Receive : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(Class1Receive, PagesFromTheFarMachineArriveInOurFile) {
    const ReceiveCase& c = GetParam();
    RigOptions o;
    o.far = FarEnd::Send;
    char tmpl[] = "/tmp/pellora-class1-tiff-XXXXXX";
    std::string tiffDir = ::mkdtemp(tmpl);
    o.tiff = tiffDir + "/send.tif";
    std::vector<Rows> pages;
    for (std::size_t p = 0; p < c.lines.size(); ++p) pages.push_back(test::patternPage(int(p), c.lines[p]));
    ASSERT_TRUE(test::writeTiffPages(o.tiff, pages, c.highRes));
    RigSession f(false, o);
    f.session->DesiredBPS = c.desiredBps;
    f.session->OneFax = true;
    f.session->StationID = "PELLORA RX";
    auto code = f.run();
    std::filesystem::remove_all(tiffDir);
    ASSERT_TRUE(code.has_value()) << "the run did not end";
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(f.notifier.payloads(kNotifyError).empty());
    EXPECT_TRUE(f.rig->faxOk()) << f.rig->farResult() << " " << f.rig->farFrames();
    ASSERT_EQ(f.received.size(), 1u);
    std::vector<PlfPageHeader> headers;
    auto got = test::readPlfPages(f.received[0], &headers);
    ASSERT_EQ(got.size(), pages.size());
    for (std::size_t p = 0; p < pages.size(); ++p) {
        EXPECT_EQ(got[p], pages[p]) << "page " << p + 1;
        EXPECT_EQ(headers[p].highResolution(), c.highRes);
    }
    EXPECT_EQ(f.logs, (std::vector<int>{lcReceiveStart, lcReceiveOk}));
    EXPECT_NE(f.session->RemoteID().find("+1 555 0100"), std::string::npos) << f.session->RemoteID();
    EXPECT_EQ(f.session->RemoteID().size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Class1Receive,
    ::testing::Values(ReceiveCase{"OnePage9600", 9600, {100}, false},
                      ReceiveCase{"ThreePages14400", 14400, {80, 90, 100}, false},
                      ReceiveCase{"TwoPagesFine7200", 7200, {120, 60}, true}),
    [](const auto& p) { return std::string(p.param.name); });

// The failures of a Class 1 send, each through the rig: the fax ends with the right code, the
// file is closed, and a second fax of the same run still goes through where the line allows.
struct FailCase {
    const char* name;
    std::vector<Fault> faults;
    long desiredBps;
    std::vector<std::int64_t> codes;  // acceptable finish codes
    long finalBps;                    // 0: not checked
};

class Class1SendFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(Class1SendFails, EndsTheFaxAsTheProcedureSays) {
    const FailCase& c = GetParam();
    RigOptions o;
    o.faults = c.faults;
    RigSession f(true, o);
    ASSERT_EQ(test::writePatternFax(f.dir + "/fax.plf", {{80, false}, {80, false}}).size(), 2u);
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    f.session->DesiredBPS = c.desiredBps;
    auto code = f.run();
    ASSERT_TRUE(code.has_value()) << "the run did not end";
    EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), *code), c.codes.end()) << "finished with " << *code;
    if (c.finalBps) {
        EXPECT_EQ(f.session->ConnectBPS(), c.finalBps);
    }
    EXPECT_EQ(f.logs, (std::vector<int>{lcTransmitStart, lcTransmitFail}));
    // The fax file is closed: it can be removed and written again at once.
    EXPECT_EQ(test::writePatternFax(f.dir + "/fax.plf", {{10, false}}).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Class1SendFails,
    ::testing::Values(
        FailCase{"FttEverywhereEndsWithTrainError", {{FaultKind::Ftt, 1, "14400,12000,9600,7200,4800,2400"}}, 9600,
                 {ecFaxTrainError}, 2400},
        FailCase{"DcnInMidSession", {{FaultKind::Dcn, 1, ""}}, 9600, {ecCancelRequested, ecFatalTimeout}, 0},
        FailCase{"CarrierLostInPageTwo", {{FaultKind::CarrierLost, 2, ""}}, 9600, {ecFatalTimeout}, 0},
        FailCase{"SilentFarEnd", {{FaultKind::Silence, 1, ""}}, 9600, {ecFaxNoCarrier}, 0}),
    [](const auto& p) { return std::string(p.param.name); });

// A receive that goes wrong keeps what arrived readable and ends the call as it should.
struct Class1ReceiveFailure : ::testing::Test {
    std::string tiffDir;
    RigOptions options;
    std::vector<Rows> pages;
    void SetUp() override {
        char tmpl[] = "/tmp/pellora-class1-tiff-XXXXXX";
        tiffDir = ::mkdtemp(tmpl);
        options.far = FarEnd::Send;
        options.tiff = tiffDir + "/send.tif";
        for (int p = 0; p < 3; ++p) pages.push_back(test::patternPage(p, 300));
        ASSERT_TRUE(test::writeTiffPages(options.tiff, pages));
    }
    void TearDown() override { std::filesystem::remove_all(tiffDir); }
};

TEST_F(Class1ReceiveFailure, ACarrierLostInPageTwoKeepsTheFileReadable) {
    options.faults = {{FaultKind::CarrierLost, 2, ""}};
    RigSession f(false, options);
    f.session->options = afExitOnError;
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecFatalTimeout);
    EXPECT_EQ(f.logs, (std::vector<int>{lcReceiveStart, lcReceiveFail}));
    ASSERT_EQ(f.received.size(), 1u);
    auto got = test::readPlfPages(f.received[0]);
    ASSERT_GE(got.size(), 1u) << "the pages ended before the loss stay in the file";
    EXPECT_EQ(got[0], pages[0]);
}

TEST_F(Class1ReceiveFailure, ARefusedCallIsLoggedAsSkippedAndLeavesNoFile) {
    RigSession f(false, options);
    f.accept = false;
    f.session->options = afExitOnError;
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecFileRejected);
    EXPECT_EQ(f.logs, (std::vector<int>{lcReceiveSkip}));
    EXPECT_TRUE(f.received.empty());
    EXPECT_TRUE(f.session->faxFile().empty());
}

TEST(Class1ReceiveFile, AFileThatCannotBeCreatedFailsTheCallWithItsIoCode) {
    char tmpl[] = "/tmp/pellora-class1-tiff-XXXXXX";
    std::string tiffDir = ::mkdtemp(tmpl);
    RigOptions o;
    o.far = FarEnd::Send;
    o.tiff = tiffDir + "/send.tif";
    ASSERT_TRUE(test::writeTiffPages(o.tiff, {test::patternPage(0, 50)}));
    RigSession f(false, o);
    f.session->options = afExitOnError;
    f.notifier.setHandler([&](const Notification& n) -> std::int64_t {
        if (n.message == kNotifyName) f.session->setFaxFile(f.dir + "/no/such/folder/FAX0001.PLF");
        if (n.message == kNotifyAccept) return 1;
        if (n.message == kNotifyLog) f.logs.push_back(int(n.payload));
        return 0;
    });
    auto code = f.run();
    std::filesystem::remove_all(tiffDir);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, -2) << "the I/O code of the failed create";
    EXPECT_EQ(f.notifier.payloads(kNotifyError), (std::vector<std::int64_t>{-2}));
    EXPECT_TRUE(f.logs.empty()) << "nothing was started, so nothing failed or succeeded";
}

// What the header renderer draws for `text`, row by row, as the far machine must show it.
Rows renderedRows(LineRenderer& r, const std::string& text, bool high) {
    EXPECT_EQ(r.prepare(high), 0);
    Rows rows;
    for (int i = 0; i < r.rows(); ++i) {
        std::vector<std::uint8_t> row(1728 / 8, 0);
        r.drawRow(text, i, row);
        rows.push_back(row);
    }
    return rows;
}

TEST(Class1SendCover, TextCoverAndHeaderLinesArriveWithTheirPageNumbers) {
    RigSession f(true, RigOptions{});
    auto sent = test::writePatternFax(f.dir + "/fax.plf", {{50, false}});
    {
        std::FILE* cover = std::fopen((f.dir + "/cover.txt").c_str(), "w");
        ASSERT_NE(cover, nullptr);
        std::fputs("To: $R\r\nFrom: $F\r\nPages: $N\n", cover);
        std::fclose(cover);
    }
    f.faxes = {{"5551234", f.dir + "/fax.plf", f.dir + "/cover.txt"}};
    f.session->HeaderLine = "Page $P/$N $X";
    f.session->HeaderSender = "Ann";
    f.session->HeaderRecipient = "Bob";
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    auto got = test::readTiffPages(f.far());
    ASSERT_EQ(got.size(), 2u) << f.rig->farFrames();

    FaxFontRenderer small(ffSmall), large(ffStandard);
    for (int page = 0; page < 2; ++page) {
        Rows expected(8, std::vector<std::uint8_t>(1728 / 8, 0));  // the blank lines on top
        for (auto& r : renderedRows(small, "Page " + std::to_string(page + 1) + "/2 ", false)) expected.push_back(r);
        if (page == 0)
            for (const char* line : {"To: Bob", "From: Ann", "Pages: 2"})
                for (auto& r : renderedRows(large, line, false)) expected.push_back(r);
        else
            for (auto& r : sent[0]) expected.push_back(r);
        ASSERT_GE(got[page].size(), expected.size()) << "page " << page + 1;
        for (std::size_t y = 0; y < expected.size(); ++y)
            ASSERT_EQ(got[page][y], expected[y]) << "page " << page + 1 << " row " << y;
    }
}

TEST(Class1SendRetrain, AnRtnRetrainsLowerAndSendsThePageAgain) {
    RigOptions o;
    o.faults = {{FaultKind::Rtn, 1, ""}};
    RigSession f(true, o);
    auto sent = test::writePatternFax(f.dir + "/fax.plf", {{80, false}, {90, false}});
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    f.session->DesiredBPS = 9600;
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(f.session->ConnectBPS(), 7200);
    auto got = test::readTiffPages(f.far());
    ASSERT_GE(got.size(), 2u) << f.rig->farFrames();
    // The refused page may be kept by the far machine; the last two are the good copies.
    EXPECT_TRUE(pageArrived(got[got.size() - 2], sent[0]));
    EXPECT_TRUE(pageArrived(got[got.size() - 1], sent[1]));
    EXPECT_EQ(f.logs, (std::vector<int>{lcTransmitStart, lcTransmitOk}));
}

TEST(Class1SendRetrain, FttAtTheTopRatesStepsDownUntilTheTrainingHolds) {
    RigOptions o;
    o.faults = {{FaultKind::Ftt, 1, "9600,7200"}};
    RigSession f(true, o);
    auto sent = test::writePatternFax(f.dir + "/fax.plf", {{60, false}});
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    f.session->DesiredBPS = 9600;
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(f.session->ConnectBPS(), 4800);
    auto got = test::readTiffPages(f.far());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(pageArrived(got[0], sent[0]));
    // DCS went out three times: 9600, 7200, 4800.
    std::string frames = f.rig->farFrames();
    std::size_t dcs = 0;
    for (std::size_t at = frames.find(">DCS"); at != std::string::npos; at = frames.find(">DCS", at + 1)) ++dcs;
    EXPECT_EQ(dcs, 3u) << frames;
}

}  // namespace
}  // namespace pellora::fax
