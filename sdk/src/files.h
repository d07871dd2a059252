// Opening the files the library reads (state, lock, catalogues, dark frames) so that none can
// hang it: a FIFO or a device where a file is expected would block an open or a read for ever.
#pragma once

#include <string>

namespace asisim {

// Opens `path` with `flags` (O_CLOEXEC added) without blocking, and keeps it only when it is a
// regular file; with `follow` false a symbolic link is refused too. The descriptor (blocking
// again), or -1 with errno set: kNotRegular when something other than a regular file is there.
inline constexpr int kNotRegular = 1 << 20; // not an errno value of any system call
int open_regular(const std::string &path, int flags, bool follow, unsigned mode = 0600);

} // namespace asisim
