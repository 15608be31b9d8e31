// Rs232: one open serial device in raw mode. Its read can watch the line for
// silence and re-open the device after 250 ms without data (timeout reset), which
// recovers a UART that has stopped delivering.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// The six-byte settings record: baud (0xFFFFFFFF = not set, 0 = re-open with the
// stored settings), parity 'n'/'e'/'o', stop bits 1 or 2.
struct SerialSettings {
    uint32_t baud;
    char parity;
    uint8_t stop_bits;
};

constexpr uint32_t SERIAL_BAUD_NOT_SET = 0xFFFFFFFFu;

// The terminal speed constant for a standard rate; false for any other number.
bool serial_speed_for_baud(uint32_t baud, speed_t *speed);

// Raw mode, stop bits, parity and speed applied to a terminal record; false for
// a speed that is not a standard rate.
bool serial_make_termios(struct termios *tio, uint32_t baud, char parity, uint8_t stop_bits);

class Rs232
{
  public:
    Rs232(const std::string &path, uint32_t baud, char parity, uint8_t stop_bits);
    Rs232(const Rs232 &) = delete;
    Rs232 &operator=(const Rs232 &) = delete;

    virtual uint32_t is_open();
    virtual int get_fd();
    virtual void SetTimeoutReset(int flag);
    // One write of the whole buffer; what the system call returned.
    virtual ssize_t write(const void *buf, size_t len);
    // Bytes read, 0 at end of file, -1 on failure or when interrupted.
    virtual ssize_t read(void *buf, size_t capacity);
    virtual ~Rs232();

    // Wakes a reader blocked in read() and makes every later read return -1 at
    // once; the reader thread is stopped this way instead of being cancelled.
    void interrupt();
    // Waits until everything written has gone out on the line (tcdrain), under
    // the write lock, so that a re-open cannot close or replace the descriptor
    // while it is in use.
    int drain();
    uint8_t timeout_reset() const { return timeout_reset_; }

  private:
    // Waits until the device or the wake-up descriptor is readable. 1 data, 0
    // timed out, -1 failure or interrupted.
    int wait_readable(int timeout_ms);
    void close_fd();
    // Closes and opens the stored path again; false (after the message and a
    // short pause) when the device cannot be opened.
    bool reopen();

    std::atomic<int> fd_{-1};
    uint32_t open_ = 0;
    std::mutex write_lock_;
    std::mutex read_lock_;
    std::string path_;
    std::atomic<uint8_t> timeout_reset_{1};
    int wake_fd_ = -1;
    std::atomic<bool> interrupted_{false};
};
