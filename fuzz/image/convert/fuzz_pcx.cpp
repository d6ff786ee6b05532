// Fuzzes the converter's PCX reader.
#include "fax/image/fax_errors.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pellora::fax;
    fuzz::readAll(data, size, [](const ConvertSettings& s) { return makePcxReader(s); },
                  {ecBadGraphicsFormat, ecSeekError});
    return 0;
}
