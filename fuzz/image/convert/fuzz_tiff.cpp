// Fuzzes the converter's TIFF reader.
#include "fax/image/fax_errors.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pellora::fax;
    fuzz::readAll(data, size, [](const ConvertSettings& s) { return makeTiffReader(s); },
                  {ecBadGraphicsFormat, ecDeviceReadError, ecSeekError});
    return 0;
}
