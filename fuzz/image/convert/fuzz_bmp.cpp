// Fuzzes the converter's BMP reader (every depth, bit fields, run-length coding).
#include "fax/image/fax_errors.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pellora::fax;
    fuzz::readAll(data, size, [](const ConvertSettings& s) { return makeBmpReader(s); },
                  {ecBadGraphicsFormat});
    return 0;
}
