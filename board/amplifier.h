// The loudspeaker amplifier, a MAX9768 on an I2C bus: volume 0-63, mute and
// unmute. One process-wide device handle; every call is serialised by one lock.
#pragma once

#include <cstdint>

// Opens the bus device (gwlinkd uses "/dev/i2c-0") and selects the chip at
// address 0x4B. An already open device is closed first. 0 or -1.
int i2c_max9768_init(const char *path);
// Sets the volume (0-63). While muted the volume is only stored and reaches
// the chip at the next unmute. -1 for a volume above 63 or a failed write.
int i2c_max9768_vol_write(uint8_t volume);
// 0, or -1 when already muted.
int i2c_max9768_mute();
// Restores the stored volume. 0, or -1 when not muted.
int i2c_max9768_unmute();
void i2c_max9768_close();
