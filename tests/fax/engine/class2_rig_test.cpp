// Class 2 and 2.0 sessions end to end: our engine drives the rig's Class 2 / 2.0 modem, whose
// T.30 is SpanDSP's, to SpanDSP's fax machine on the far end and back; pages arrive pixel
// for pixel both ways. And a Class 1 remote that cannot take fine resolution.
#include <gtest/gtest.h>

#include "fax_pages.h"
#include "session_rig_fixture.h"

namespace pellora::fax {
namespace {

using modemsim::Fault;
using modemsim::FaultKind;
using modemsim::FarEnd;
using modemsim::RigOptions;
using test::pageArrived;
using test::RigSession;
using test::Rows;

class ClassTwoRig : public ::testing::TestWithParam<int> {};  // 2 or 20

TEST_P(ClassTwoRig, SendsNormalAndFinePagesToTheFarMachine) {
    RigOptions o;
    o.modemClass = GetParam();
    RigSession f(true, o);
    auto sent = test::writePatternFax(f.dir + "/fax.plf", {{90, false}, {120, true}});
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    f.session->StationID = "pellora";
    auto code = f.run();
    ASSERT_TRUE(code.has_value()) << "the run did not end";
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(f.notifier.payloads(kNotifyError).empty());
    EXPECT_TRUE(f.rig->faxOk()) << f.rig->farResult();
    auto got = test::readTiffPages(f.far());
    ASSERT_EQ(got.size(), sent.size()) << f.rig->farFrames();
    for (std::size_t p = 0; p < sent.size(); ++p) EXPECT_TRUE(pageArrived(got[p], sent[p])) << "page " << p + 1;
    EXPECT_EQ(f.logs, (std::vector<int>{lcTransmitStart, lcTransmitOk}));
}

TEST_P(ClassTwoRig, ReceivesThePagesOfTheFarMachine) {
    RigOptions o;
    o.modemClass = GetParam();
    o.far = FarEnd::Send;
    char tmpl[] = "/tmp/pellora-class2-tiff-XXXXXX";
    std::string tiffDir = ::mkdtemp(tmpl);
    o.tiff = tiffDir + "/send.tif";
    std::vector<Rows> pages = {test::patternPage(0, 100), test::patternPage(1, 140)};
    ASSERT_TRUE(test::writeTiffPages(o.tiff, pages));
    RigSession f(false, o);
    f.session->OneFax = true;
    auto code = f.run();
    std::filesystem::remove_all(tiffDir);
    ASSERT_TRUE(code.has_value()) << "the run did not end";
    EXPECT_EQ(*code, 0);
    ASSERT_EQ(f.received.size(), 1u);
    auto got = test::readPlfPages(f.received[0]);
    ASSERT_EQ(got.size(), pages.size());
    for (std::size_t p = 0; p < pages.size(); ++p) EXPECT_EQ(got[p], pages[p]) << "page " << p + 1;
    EXPECT_EQ(f.logs, (std::vector<int>{lcReceiveStart, lcReceiveOk}));
}

TEST_P(ClassTwoRig, ARemoteWithoutFineFailsAFinePageBeforeAnyData) {
    RigOptions o;
    o.modemClass = GetParam();
    o.faults = {{FaultKind::NoFine, 1, ""}};
    RigSession f(true, o);
    test::writePatternFax(f.dir + "/fax.plf", {{40, true}});
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecFaxBadMachine);
    EXPECT_EQ(f.rig->farPages(), 0);
}

INSTANTIATE_TEST_SUITE_P(Classes, ClassTwoRig, ::testing::Values(2, 20),
                         [](const auto& p) { return std::string(p.param == 2 ? "Class2" : "Class20"); });

TEST(ClassOneRig, ARemoteWithoutFineFailsAFinePageBeforeTsi) {
    RigOptions o;
    o.faults = {{FaultKind::NoFine, 1, ""}};
    RigSession f(true, o);
    test::writePatternFax(f.dir + "/fax.plf", {{40, true}});
    f.faxes = {{"5551234", f.dir + "/fax.plf", ""}};
    auto code = f.run();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, ecFaxBadMachine);
    EXPECT_EQ(f.rig->farFrames().find(">TSI"), std::string::npos) << f.rig->farFrames();
}

}  // namespace
}  // namespace pellora::fax
