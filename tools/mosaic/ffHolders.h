// The mosaic tool uses the shared FFmpeg holders under its own namespace.
#pragma once

#include "common/ffHolders.h"

namespace mosaic {
using namespace ff;
}  // namespace mosaic
