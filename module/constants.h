// The sequence's first constants (the name table, the checksum, the module's
// name), and the module-level variables of the body.
#pragma once

namespace qx {

// 0, or -1 with an exception. Objects are made once per owner: a repeated
// call fills only what an earlier, failed call left unset.
int CreateGlobalConstants() noexcept;

// Sets the body's module-level variables to None; cannot fail.
void ResetModuleVariables() noexcept;

}  // namespace qx
