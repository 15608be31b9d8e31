#include "sim/amplifier.h"

#include <cerrno>

namespace boardbox
{

int Amplifier::select(unsigned long address)
{
    if (address > 0x7F)
        return -EINVAL;
    std::lock_guard<std::mutex> g(lock_);
    address_ = static_cast<int>(address);
    log_.event("i2c slave 0x%02X%s", address_, address_ == static_cast<int>(kAddress) ? "" : " (no device)");
    return 0;
}

ssize_t Amplifier::read(uint8_t *, size_t)
{
    // The MAX9768 is write-only.
    return -EIO;
}

ssize_t Amplifier::write(const uint8_t *buf, size_t count)
{
    std::lock_guard<std::mutex> g(lock_);
    if (address_ != static_cast<int>(kAddress)) {
        log_.event("i2c write of %zu bytes not acknowledged (slave %d)", count, address_);
        return -ENXIO;
    }
    for (size_t i = 0; i < count; ++i) {
        double t = log_.now();
        commands_.push_back(Command{t, buf[i]});
        if (buf[i] < 0x40)
            log_.event("amp volume %u", buf[i]);
        else
            log_.event("amp command 0x%02X", buf[i]);
    }
    return static_cast<ssize_t>(count);
}

std::vector<Amplifier::Command> Amplifier::commands() const
{
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

int Amplifier::selected() const
{
    std::lock_guard<std::mutex> g(lock_);
    return address_;
}

} // namespace boardbox
