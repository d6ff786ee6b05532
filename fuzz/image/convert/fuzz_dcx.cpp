// Fuzzes the converter's DCX reader (a directory of PCX pages).
#include "fax/image/fax_errors.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pellora::fax;
    fuzz::readAll(data, size, [](const ConvertSettings& s) { return makeDcxReader(s); },
                  {ecBadGraphicsFormat, ecSeekError});
    return 0;
}
