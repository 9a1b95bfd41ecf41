#pragma once

// What the processor can do, as the operating system reports it (where the processor itself
// cannot be asked from user space).
namespace quorvane::os {

// armHasSha2 answers whether this is an arm64 processor with the SHA-2 instructions. False on
// other processors and wherever the system does not say.
bool armHasSha2() noexcept;

}  // namespace quorvane::os
