// The AT91SAM9260 PIO controllers A, B and C as the product sees them through
// "/dev/uio0": a shared 392544-byte register window. The product's stores to
// the write-only registers are taken by atomic exchange to 0 and applied to a
// pin model; PIO_PDSR shows driven levels for outputs and injected levels for
// inputs. Two stores to one register between two polls merge (the limit of
// emulating registers in plain memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace boardbox
{

constexpr size_t kUioWindowSize = 392544; // 0x5FD60
constexpr size_t kPioBase[3] = {0x5F400, 0x5F600, 0x5F800};
constexpr size_t kPioPer = 0x00, kPioPsr = 0x08, kPioOer = 0x10, kPioOdr = 0x14, kPioOsr = 0x18,
                 kPioSodr = 0x30, kPioCodr = 0x34, kPioOdsr = 0x38, kPioPdsr = 0x3C;

// Port (0 = A, 1 = B, 2 = C, -1 = none) and pin of each logical GPIO bit.
struct PinRef {
    int port;
    int pin;
};
extern const PinRef kPinTable[32];

// Logical bits of the lines that are outputs from reset.
constexpr uint32_t kResetOutputs = 0x4000 | 0x8000; // status LED, beeper

class PioModel
{
  public:
    // `window` is the mapped register window (kUioWindowSize bytes, word
    // aligned); it must outlive the model. All input pins start high. The
    // status LED (PB3) and the beeper (PB8) start as PIO outputs driven low,
    // as the board's boot loader leaves them: fwwriter drives them without
    // setting their direction.
    explicit PioModel(uint8_t *window);

    // One pass: takes the product's register writes and refreshes the status
    // registers. Returns true when a logical output level or direction changed.
    // The window is plain shared memory, so of two writes to one register
    // between passes only the later is seen; the controller would take both.
    bool poll();

    // Input levels by logical bits: `low` pulled low, then `high` pulled high.
    void set_inputs(uint32_t low, uint32_t high);

    // Logical words.
    uint32_t outputs() const;    // levels of the lines configured as outputs
    uint32_t directions() const; // 1 = output
    uint32_t levels() const;     // what PIO_PDSR shows, through the pin table
    uint32_t inputs() const;     // injected input levels

  private:
    struct Port {
        uint32_t enabled = 0; // PIO_PSR
        uint32_t output = 0;  // PIO_OSR
        uint32_t driven = 0;  // PIO_ODSR
        uint32_t injected = 0xFFFFFFFFu;
    };
    uint32_t *reg(int port, size_t offset) const;
    void publish(int port);
    uint32_t logical(const uint32_t words[3]) const;

    uint8_t *window_;
    mutable std::mutex lock_;
    Port ports_[3];
    uint32_t last_outputs_ = 0;
    uint32_t last_directions_ = 0;
};

} // namespace boardbox
