#include "sim/pio_model.h"

namespace boardbox
{

const PinRef kPinTable[32] = {
    {-1, 0}, {1, 31}, {1, 30}, {1, 9},  {1, 24}, {1, 23}, {1, 22}, {1, 21}, // bits 0-7
    {1, 20}, {0, 4},  {0, 3},  {0, 2},  {0, 1},  {0, 0},  {1, 3},  {1, 8},  // bits 8-15
    {2, 6},  {1, 2},  {1, 1},  {1, 0},  {0, 24}, {0, 5},  {0, 8},  {0, 6},  // bits 16-23
    {1, 25}, {-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}, // bits 24-31
};

namespace
{

void to_ports(uint32_t mask, uint32_t words[3])
{
    words[0] = words[1] = words[2] = 0;
    for (int bit = 0; bit < 32; ++bit) {
        const PinRef &p = kPinTable[bit];
        if ((mask >> bit & 1u) && p.port >= 0)
            words[p.port] |= 1u << p.pin;
    }
}

} // namespace

PioModel::PioModel(uint8_t *window) : window_(window)
{
    std::lock_guard<std::mutex> g(lock_);
    uint32_t w[3];
    to_ports(kResetOutputs, w);
    for (int p = 0; p < 3; ++p) {
        ports_[p].enabled = w[p];
        ports_[p].output = w[p];
        publish(p);
    }
    last_directions_ = kResetOutputs;
}

uint32_t *PioModel::reg(int port, size_t offset) const
{
    // The window is the device's register file, accessed as 32-bit registers
    // exactly like the product does.
    return reinterpret_cast<uint32_t *>(window_ + kPioBase[port] + offset);
}

void PioModel::publish(int p)
{
    const Port &s = ports_[p];
    uint32_t pdsr = (s.output & s.driven) | (~s.output & s.injected);
    __atomic_store_n(reg(p, kPioPsr), s.enabled, __ATOMIC_RELEASE);
    __atomic_store_n(reg(p, kPioOsr), s.output, __ATOMIC_RELEASE);
    __atomic_store_n(reg(p, kPioOdsr), s.driven, __ATOMIC_RELEASE);
    __atomic_store_n(reg(p, kPioPdsr), pdsr, __ATOMIC_RELEASE);
}

uint32_t PioModel::logical(const uint32_t words[3]) const
{
    uint32_t v = 0;
    for (int bit = 0; bit < 32; ++bit) {
        const PinRef &p = kPinTable[bit];
        if (p.port >= 0 && (words[p.port] >> p.pin & 1u))
            v |= 1u << bit;
    }
    return v;
}

bool PioModel::poll()
{
    std::lock_guard<std::mutex> g(lock_);
    for (int p = 0; p < 3; ++p) {
        Port &s = ports_[p];
        uint32_t per = __atomic_exchange_n(reg(p, kPioPer), 0u, __ATOMIC_ACQ_REL);
        uint32_t oer = __atomic_exchange_n(reg(p, kPioOer), 0u, __ATOMIC_ACQ_REL);
        uint32_t odr = __atomic_exchange_n(reg(p, kPioOdr), 0u, __ATOMIC_ACQ_REL);
        uint32_t sodr = __atomic_exchange_n(reg(p, kPioSodr), 0u, __ATOMIC_ACQ_REL);
        uint32_t codr = __atomic_exchange_n(reg(p, kPioCodr), 0u, __ATOMIC_ACQ_REL);
        if ((per | oer | odr | sodr | codr) == 0)
            continue;
        s.enabled |= per;
        s.output = (s.output | oer) & ~odr;
        s.driven = (s.driven | sodr) & ~codr;
        publish(p);
    }
    uint32_t out_words[3], dir_words[3];
    for (int p = 0; p < 3; ++p) {
        out_words[p] = ports_[p].output & ports_[p].driven;
        dir_words[p] = ports_[p].output;
    }
    uint32_t outs = logical(out_words), dirs = logical(dir_words);
    bool changed = outs != last_outputs_ || dirs != last_directions_;
    last_outputs_ = outs;
    last_directions_ = dirs;
    return changed;
}

void PioModel::set_inputs(uint32_t low, uint32_t high)
{
    uint32_t lw[3], hw[3];
    to_ports(low, lw);
    to_ports(high, hw);
    std::lock_guard<std::mutex> g(lock_);
    for (int p = 0; p < 3; ++p) {
        ports_[p].injected = (ports_[p].injected & ~lw[p]) | hw[p];
        publish(p);
    }
}

uint32_t PioModel::outputs() const
{
    std::lock_guard<std::mutex> g(lock_);
    uint32_t w[3];
    for (int p = 0; p < 3; ++p)
        w[p] = ports_[p].output & ports_[p].driven;
    return logical(w);
}

uint32_t PioModel::directions() const
{
    std::lock_guard<std::mutex> g(lock_);
    uint32_t w[3];
    for (int p = 0; p < 3; ++p)
        w[p] = ports_[p].output;
    return logical(w);
}

uint32_t PioModel::levels() const
{
    std::lock_guard<std::mutex> g(lock_);
    uint32_t w[3];
    for (int p = 0; p < 3; ++p)
        w[p] = __atomic_load_n(reg(p, kPioPdsr), __ATOMIC_ACQUIRE);
    return logical(w);
}

uint32_t PioModel::inputs() const
{
    std::lock_guard<std::mutex> g(lock_);
    uint32_t w[3];
    for (int p = 0; p < 3; ++p)
        w[p] = ports_[p].injected;
    return logical(w);
}

} // namespace boardbox
