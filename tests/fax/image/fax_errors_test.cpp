// Error texts and the exception each code raises.
#include <gtest/gtest.h>

#include <cerrno>
#include <typeinfo>

#include "fax/image/fax_errors.h"

namespace pellora::fax {
namespace {

TEST(FaxErrors, TextsOfTheTable) {
    struct Case {
        int code;
        const char* text;
    };
    const Case cases[] = {
        {0, "OK"},
        {2, "File not found"},
        {-2, "File not found"},
        {100, "Attempt to read beyond end of file"},
        {-162, "General failure"},
        {-1002, "Bad argument passed to function"},
        {2011, "The ComNumber property of the TComPort has not been set"},
        {-6006, "Fatal time out"},
        {-8001, "File is not a PLF file"},
        {-8054, "BMP size exceeds Windows' maxheight of 32767"},
        {-8074, "Remote fax did not answer"},
    };
    for (const auto& c : cases) EXPECT_EQ(faxErrorText(c.code), c.text) << c.code;
}

TEST(FaxErrors, UnknownCodesUseTheSystemMessageAsOneTidyLine) {
    const std::string t = faxErrorText(-EACCES);
    EXPECT_FALSE(t.empty());
    EXPECT_EQ(t, faxErrorText(EACCES));
    for (int code : {7, 99, 12345, 2147483647, -2147483647 - 1}) {
        const std::string s = faxErrorText(code);
        EXPECT_FALSE(s.empty()) << code;
        EXPECT_LE(s.size(), 255u);
        EXPECT_EQ(s.find("  "), std::string::npos);
        for (char ch : s) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << code;
    }
}

template <class E>
void expectRaises(int code, const std::string& text) {
    try {
        raiseFaxError(code);
        ADD_FAILURE() << "no exception for " << code;
    } catch (const E& e) {
        EXPECT_EQ(typeid(e), typeid(E)) << code;
        EXPECT_EQ(e.code(), code);
        EXPECT_EQ(std::string(e.what()), text) << code;
    } catch (const std::exception& e) {
        ADD_FAILURE() << code << " raised " << typeid(e).name();
    }
}

TEST(FaxErrors, CodesBecomeTheirExceptionClasses) {
    expectRaises<EInOutError>(-2, "File not found");
    expectRaises<EInOutError>(-100, "Attempt to read beyond end of file");
    expectRaises<EInOutError>(-162, "General failure");
    expectRaises<EOutOfMemory>(-8, "Insufficient memory");
    expectRaises<EBadArgument>(-1002, "Bad argument passed to function");
    expectRaises<EGotQuitMsg>(-1003, "Got quit message");
    expectRaises<EProtocol>(-6006, "Fatal time out");
    expectRaises<EFaxBadFormat>(-8001, "File is not a PLF file");
    expectRaises<EBadGraphicsFormat>(-8002, "Unsupported graphics file format");
    expectRaises<EConvertAbort>(-8003, "User aborted fax conversion");
    expectRaises<EUnpackAbort>(-8004, "User aborted fax unpack");
    expectRaises<ECantMakeBitmap>(-8005, "CreateBitmapIndirect API failure");
    expectRaises<EFaxBusy>(-8064, "Called fax number was busy");
    expectRaises<EFaxPageError>(-8070, "Fax failed at page end");
    expectRaises<EAlreadyOpen>(-2008, "ie_Open - device already open");
    // Codes whose class is the base keep their own text.
    expectRaises<EFaxException>(-6005, "Cancel requested");
    expectRaises<EFaxException>(-8054, "BMP size exceeds Windows' maxheight of 32767");
    // Codes without a class.
    expectRaises<EFaxException>(-1, "Fax exception");
    expectRaises<EFaxException>(-163, "Fax exception");
    expectRaises<EFaxException>(-9999, "Fax exception");
}

TEST(FaxErrors, IoErrorsCarryTheRuntimeNumberAndUnlistedOnesTheSystemText) {
    try {
        raiseFaxError(-7);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ioErrorCode(), 7);
        EXPECT_EQ(std::string(e.what()), faxErrorText(7));
    }
}

TEST(FaxErrors, CodesOfZeroAndAboveRaiseNothing) {
    EXPECT_NO_THROW(raiseFaxError(0));
    EXPECT_NO_THROW(raiseFaxError(1));
    EXPECT_NO_THROW(raiseFaxError(8001));
}

TEST(FaxErrors, ErrnoMapsToRuntimeIoCodes) {
    EXPECT_EQ(ioErrorCode(ENOENT, false), -2);
    EXPECT_EQ(ioErrorCode(EACCES, true), -5);
    EXPECT_EQ(ioErrorCode(ENOSPC, true), -101);
    EXPECT_EQ(ioErrorCode(EIO, true), -160);
    EXPECT_EQ(ioErrorCode(EIO, false), -161);
}

}  // namespace
}  // namespace pellora::fax
