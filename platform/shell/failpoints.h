// Internal: injected failures and the allocator for the shell stand-in's own files.
#pragma once

#include "platform/shell/shell.h"

namespace vx::shell::detail {
HRESULT TakeFailure(FailPoint point); // S_OK when no failure is pending
IMalloc &TaskMalloc();
} // namespace vx::shell::detail
