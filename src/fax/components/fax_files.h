// The files the fax components make: the temporary file that joins the fax files of one send
// run, and the default names of received faxes.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace pellora::fax {

// Joins `files` (two or more PLF files) into a new file "~FX??????.TMP" in the system's
// temporary folder: the first file whole, then the pages of each further file (everything
// after its 64-byte header), and the first header's PageCount set to the total. Every file
// must be a PLF file whose pages start right after the header (FirstPageOffset 64); otherwise
// -8001, as for a wrong signature. Returns 0 with `tempName` set to the full path, or a
// negative code (nothing is left behind then).
int concatenateFaxFiles(const std::vector<std::string>& files, std::string* tempName);

// The default name of a received file: mode 1 "FAX" + 4 digits, mode 2 month and day of
// `today` + 4 digits, each with "." + `ext`, with the first number 0001..9999 whose file does
// not exist; any other mode "noname.plf". The name goes behind `dir` ('/' added unless `dir`
// is empty or ends in one). When every number is taken the name is "NONAME.PLF" without a
// folder.
//
// The file is created empty before the name is returned (exclusively, so a file that appears
// meanwhile is never overwritten, and a symbolic link, dangling or not, counts as taken): the
// session then writes into a file that is ours. Where the fixed names "noname.plf" or
// "NONAME.PLF" are already taken, a unique variant of them ("noname-XXXXXX.plf") is made
// instead of writing over a fax received earlier. When the folder cannot be written to, the
// first candidate is returned uncreated and the session reports the error when it creates
// the file.
std::string defaultFaxName(const std::string& dir, const std::string& ext, int mode,
                           const std::tm& today);

}  // namespace pellora::fax
