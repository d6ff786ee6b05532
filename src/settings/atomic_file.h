// Replacing a small file so that a crash or power loss never leaves it half written.
#pragma once

#include <filesystem>
#include <string_view>

namespace pellora::settings {

// Writes `contents` to a new temporary file beside `path`, flushes it to the disk and renames
// it over `path`. On any failure the temporary file is removed, `path` is left as it was and
// false is returned. A symbolic link at `path` is followed, so the link itself survives; the
// permission bits of an existing file are kept.
bool replaceFileAtomically(const std::filesystem::path& path, std::string_view contents);

}  // namespace pellora::settings
