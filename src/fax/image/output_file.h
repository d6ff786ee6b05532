// Removal of half-written output files.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace pellora::fax {

// Deletes a writer's half-written output. Only a regular file is deleted: an output name that
// is a device (say /dev/full), a pipe or a symbolic link is left alone, since removing it
// would destroy something the writer never made.
inline void removeOutput(const std::string& name) {
    std::error_code ec;
    if (std::filesystem::symlink_status(name, ec).type() == std::filesystem::file_type::regular)
        std::filesystem::remove(name, ec);
}

}  // namespace pellora::fax
