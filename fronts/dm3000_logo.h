// The DM3000 head's start-up picture as a pixel image (4224 bytes, 0 or 1),
// generated at build time from fronts/dm3000_logo.pbm.
#pragma once

#include <cstdint>

extern const uint8_t dm3000_logo[4224];
