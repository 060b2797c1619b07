// User-visible texts by string id. The Windows shell loads them from the
// resource library; the portable build and the engines' tests use the same
// texts from this table.
#pragma once
#include <cstdint>

#include "platform/types.h"

namespace rv {

Text LoadResourceString(uint32_t id);
// The program's own string table holds only id 1, the product name.
Text LoadProgramString(uint32_t id);

// The shell installs loaders for the real resource library.
using StringLoader = Text (*)(uint32_t id);
void SetStringLoaders(StringLoader resourceLibrary, StringLoader program);

}  // namespace rv
