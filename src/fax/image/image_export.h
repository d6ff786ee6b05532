// Writers of page bitmaps as PCX, one-page DCX and BMP files. The bitmap's set bits are
// black; every format stores white as set bits, so bytes are inverted on the way out. The
// width written is the bitmap's width rounded up to whole bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fax/image/mono_bitmap.h"

namespace pellora::fax {

std::vector<uint8_t> encodePcx(const MonoBitmap& bitmap);
std::vector<uint8_t> encodeDcx(const MonoBitmap& bitmap);
// Fails with -8054 for bitmaps of 32768 lines or more (and -8005 for an empty bitmap).
int encodeBmp(const MonoBitmap& bitmap, std::vector<uint8_t>* out);

// Write `bytes` to `name`; on failure no file is left behind. Negative I/O code on failure.
int writeWholeFile(const std::string& name, const std::vector<uint8_t>& bytes);

}  // namespace pellora::fax
