// The MAX9768 loudspeaker amplifier on "/dev/i2c-0": remembers the selected
// slave address (I2C_SLAVE, answered by the ioctl supervisor) and logs every
// byte written to the chip with its time.
#pragma once

#include <mutex>
#include <vector>

#include "sim/device_file.h"
#include "sim/event_log.h"

namespace boardbox
{

class Amplifier : public DeviceFile
{
  public:
    static constexpr unsigned kAddress = 0x4B;

    struct Command {
        double time; // seconds since the box started
        uint8_t value;
    };

    explicit Amplifier(EventLog &log) : log_(log) {}

    // I2C_SLAVE: 0, or -EINVAL for an address beyond 7 bits. Like i2c-dev the
    // selection itself never probes; transfers to an absent chip fail.
    int select(unsigned long address);

    ssize_t read(uint8_t *buf, size_t count) override;
    ssize_t write(const uint8_t *buf, size_t count) override;

    std::vector<Command> commands() const;
    int selected() const;

  private:
    EventLog &log_;
    mutable std::mutex lock_;
    int address_ = -1;
    std::vector<Command> commands_;
};

} // namespace boardbox
