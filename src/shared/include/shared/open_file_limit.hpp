#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <optional>

// Every client session and every server port holds a socket, so a run needs about one open file per session or
// port; the common soft limit of 1024 would refuse the sockets of a larger run.
namespace brindlemoor {

// The soft open-file limit to set for a run that needs `needed` descriptors, given the current soft and hard
// limits; none when the soft limit suffices. The soft limit goes up to the hard limit, which only privilege could
// raise; an unlimited hard limit gives only what is needed, as Linux refuses an unlimited open-file limit.
std::optional<rlim_t> raised_soft_limit(rlim_t soft, rlim_t hard, rlim_t needed) noexcept;

// Raises the process's soft open-file limit for `sockets` sockets and the descriptors every run holds besides.
// When the limit cannot be raised far enough, the socket that finds no descriptor fails its set-up with a clear
// error.
void raise_open_file_limit(std::size_t sockets) noexcept;

}  // namespace brindlemoor
