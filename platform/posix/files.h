// Small reads of the file system that the Linux faces share: a folder's entries, where a link
// leads, the first line of a small file.
#ifndef KNOBVANE_PLATFORM_POSIX_FILES_H
#define KNOBVANE_PLATFORM_POSIX_FILES_H

#include <string>
#include <vector>

namespace posix {

// The entries of a folder, sorted, without the hidden ones; none when it cannot be read.
std::vector<std::string> Entries(const std::string& folder);

// The path with every link followed; "" when it leads nowhere.
std::string RealPath(const std::string& path);

// The first line of a small file, without its line end; "" when there is none.
std::string FirstLine(const std::string& path);

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_FILES_H
