// The deep scan reads into the volume layer's page-aligned buffers.
#pragma once
#include "volume/aligned_buffer.h"

namespace rv::carve {
using rv::AlignedBuffer;
}  // namespace rv::carve
