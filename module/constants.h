// The constants of ModuleState beyond the name table, and the module-level
// variables of the body.
#pragma once

namespace qx {

// Each returns 0, or -1 with an exception. Objects are made once per
// process: a repeated call fills only what an earlier, failed call left
// unset (the cached builtin is looked up anew, and kept if that fails).
int CreateGlobalConstants() noexcept;
int CacheBuiltins() noexcept;
int CreateCachedConstants() noexcept;

// Sets the body's module-level variables to None; cannot fail.
void ResetModuleVariables() noexcept;

}  // namespace qx
