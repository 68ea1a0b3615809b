// Keeps the worker pool usable across fork().
#pragma once

namespace quarn::py {

// Registers, once per process, a handler that runs before every fork().
void install_fork_handlers();

}  // namespace quarn::py
