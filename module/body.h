// The module body: builds the fallback base, then Weekdays, and publishes
// the members.
#pragma once

#include "core/failure.h"

namespace qx {

// 0, or -1 with an exception and where it failed in *fail.
int RunModuleBody(Failure* fail) noexcept;

// Where the entry (module/init.cpp) reports its steps before the body:
// making the module object, at the definition's first line, and readying
// __Qx_EnumMeta, at its class statement in the support file.
struct EntryPositions {
  Position module_objects{.source_line = 1, .file = SourceFile::Definition};
  Position enum_meta_type{15};
};
inline constexpr EntryPositions kEntry{};

}  // namespace qx
