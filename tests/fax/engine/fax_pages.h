// Pages for the end-to-end fax tests: PLF fax files with a recognisable pattern on every
// line, and the pages read back, as raster rows, from our PLF files and from the TIFF files
// SpanDSP's fax machine writes.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fax/image/plf.h"
#include "fax/image/t4.h"

namespace pellora::fax::test {

using Rows = std::vector<std::vector<std::uint8_t>>;

// Line i of page p: a few black runs whose places move with the line and the page, so a lost,
// doubled or swapped line or page shows.
inline std::vector<std::uint8_t> patternRow(int page, int line, int width = 1728) {
    std::vector<std::uint8_t> row(std::size_t(width / 8), 0);
    auto black = [&](int from, int length) {
        for (int x = from; x < from + length && x < width; ++x) row[std::size_t(x / 8)] |= std::uint8_t(0x80 >> (x % 8));
    };
    black((line * 7 + page * 131) % (width - 200), 20 + line % 40);
    black((line * 13 + page * 57 + 600) % (width - 200), 3 + (line + page) % 9);
    if (line % 16 == 0) black(100, width - 300);
    return row;
}

struct PageSpec {
    int lines = 200;
    bool highRes = false;
};

// Writes a PLF file of these pages; returns the rows written, page by page.
inline std::vector<Rows> writePatternFax(const std::string& name, const std::vector<PageSpec>& pages) {
    std::vector<Rows> written;
    PlfWriter w;
    if (w.create(name) != 0) return written;
    T4Encoder enc(1728, 0);
    for (std::size_t p = 0; p < pages.size(); ++p) {
        w.setPageFlags(pages[p].highRes, false);
        Rows rows;
        for (int i = 0; i < pages[p].lines; ++i) {
            rows.push_back(patternRow(int(p), i));
            if (w.writeLine(enc.encodeLine(rows.back())) != 0) return {};
        }
        if (w.endPage() != 0) return {};
        written.push_back(std::move(rows));
    }
    if (w.close() != 0) return {};
    return written;
}

// The pages of a PLF file decoded; empty when the file cannot be read.
inline std::vector<Rows> readPlfPages(const std::string& name, std::vector<PlfPageHeader>* headers = nullptr) {
    std::vector<Rows> pages;
    PlfReader r;
    if (r.open(name) != 0) return pages;
    for (unsigned k = 1; k <= r.header().pageCount; ++k) {
        PlfPageHeader ph;
        if (r.locatePage(k, &ph) != 0) break;
        if (headers) headers->push_back(ph);
        Rows rows;
        T4Decoder dec;
        dec.startPage();
        std::span<const std::uint8_t> chunk;
        int rc;
        while ((rc = r.readChunk(chunk)) == 1)
            dec.decode(chunk, [&](std::span<const std::uint8_t> line) {
                rows.emplace_back(line.begin(), line.end());
                return true;
            });
        pages.push_back(std::move(rows));
    }
    return pages;
}

// The pages of a TIFF file as rows with black = 1; empty when it cannot be read.
inline std::vector<Rows> readTiffPages(const std::string& name) {
    std::vector<Rows> pages;
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(name.c_str(), "r");
    if (!tif) return pages;
    do {
        std::uint32_t width = 0, height = 0;
        std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        Rows rows;
        std::vector<std::uint8_t> line(std::size_t(TIFFScanlineSize(tif)));
        for (std::uint32_t y = 0; y < height; ++y) {
            if (TIFFReadScanline(tif, line.data(), y) < 0) break;
            std::vector<std::uint8_t> row(line.begin(), line.begin() + (width + 7) / 8);
            if (photometric == PHOTOMETRIC_MINISBLACK)
                for (auto& b : row) b = std::uint8_t(~b);
            rows.push_back(std::move(row));
        }
        pages.push_back(std::move(rows));
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

// Writes pages as a G3 TIFF for a far machine to send; false on failure.
inline bool writeTiffPages(const std::string& name, const std::vector<Rows>& pages, bool highRes = false) {
    TIFF* tif = TIFFOpen(name.c_str(), "w");
    if (!tif) return false;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 1728);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(pages[p].size()));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, 0);
        TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, std::uint32_t(pages[p].size()));
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0f);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, highRes ? 196.0f : 98.0f);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, std::uint16_t(p), std::uint16_t(pages.size()));
        for (std::size_t y = 0; y < pages[p].size(); ++y) {
            std::vector<std::uint8_t> row = pages[p][y];
            if (TIFFWriteScanline(tif, row.data(), std::uint32_t(y), 0) < 0) {
                TIFFClose(tif);
                return false;
            }
        }
        if (!TIFFWriteDirectory(tif)) {
            TIFFClose(tif);
            return false;
        }
    }
    TIFFClose(tif);
    return true;
}

inline Rows patternPage(int page, int lines) {
    Rows rows;
    for (int i = 0; i < lines; ++i) rows.push_back(patternRow(page, i));
    return rows;
}

inline bool blankRow(const std::vector<std::uint8_t>& row) {
    for (auto b : row)
        if (b) return false;
    return true;
}

}  // namespace pellora::fax::test
