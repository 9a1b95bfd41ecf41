#include "os/pipe.h"

#include <fcntl.h>

namespace quorvane::os {

void widenPipe(int fd) noexcept { (void)::fcntl(fd, F_SETPIPE_SZ, 1 << 20); }

}  // namespace quorvane::os
