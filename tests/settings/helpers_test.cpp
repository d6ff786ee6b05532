#include <gtest/gtest.h>

#include "settings/fax_class.h"
#include "settings/transfer_rate.h"
#include "settings/trim.h"

namespace pellora::settings {
namespace {

TEST(Trim, SpacesOnly) {
    struct Case {
        const char* text;
        const char* left;
        const char* right;
        const char* both;
    };
    const Case cases[] = {
        {"", "", "", ""},
        {"   ", "", "", ""},
        {"abc", "abc", "abc", "abc"},
        {"  a b  ", "a b  ", "  a b", "a b"},
        {"\ta\t", "\ta\t", "\ta\t", "\ta\t"},  // tabs are not blanks
        {" \tx\t ", "\tx\t ", " \tx\t", "\tx\t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(trimLeft(c.text), c.left);
        EXPECT_EQ(trimRight(c.text), c.right);
        EXPECT_EQ(trim(c.text), c.both);
    }
}

TEST(TransferRate, IndexAndRateBothWays) {
    for (int i = 0; i < static_cast<int>(kTransferRates.size()); ++i) {
        EXPECT_EQ(rateToIndex(indexToRate(i)), i);
    }
    EXPECT_EQ(indexToRate(0), 2400);
    EXPECT_EQ(indexToRate(5), 14400);
    for (int rate : {0, -1, 2401, 9601, 28800, 33600}) EXPECT_EQ(rateToIndex(rate), 3) << rate;
    for (int index : {-1, 6, 100}) EXPECT_EQ(indexToRate(index), 9600) << index;
}

TEST(FaxClass, SettingCodeIsOneBelowTheComponentClass) {
    EXPECT_EQ(faxClassFromSetting(0), fcDetect);
    EXPECT_EQ(faxClassFromSetting(1), fcClass1);
    EXPECT_EQ(faxClassFromSetting(2), fcClass2);
    EXPECT_EQ(faxClassFromSetting(3), fcClass2_0);
    EXPECT_EQ(faxClassFromSetting(4), fcDetect);
    EXPECT_EQ(faxClassFromSetting(-1), fcDetect);
    for (int code = 0; code <= kMaxFaxClassSetting; ++code) {
        EXPECT_EQ(settingFromFaxClass(faxClassFromSetting(code)), code);
    }
    EXPECT_EQ(settingFromFaxClass(fcUnknown), 0);
}

}  // namespace
}  // namespace pellora::settings
