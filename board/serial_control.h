// SerialControl: an owned Rs232 and a reader thread that hands every chunk it
// reads (1-1024 bytes), as it arrives, to a listener. No framing here: the
// controls and front relays assemble frames from the chunks.
#pragma once

#include "board/rs232.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class class_control;

class SerialControl
{
  public:
    static constexpr size_t kPathSize = 32;
    static constexpr size_t kBufferSize = 1024;

    SerialControl(class_control *listener, int8_t serial_id, const char *device_path);
    SerialControl(const SerialControl &) = delete;
    SerialControl &operator=(const SerialControl &) = delete;

    // The reader's body: reads and delivers until stopped.
    virtual void run();
    // Stops the reader and releases the port; -1 when nothing was open.
    virtual int stop();
    virtual ~SerialControl();
    // 0 on success or when nothing was to be opened, -1 on failure.
    virtual int open(const SerialSettings *settings);
    virtual int close();
    virtual int get_settings(SerialSettings *out);
    virtual void SetTimeoutReset(int flag);
    virtual uint32_t is_valid();
    virtual uint32_t is_open();
    virtual int get_id();
    virtual int write(const uint8_t *buf, size_t len);
    virtual int drain();

    const char *device_path() const { return path_; }

  private:
    // One reader thread and the port it reads. Each reader has its own stop
    // flag and port, so a reader stopped from inside its own delivery can
    // never pick up the port of the one started after it.
    struct Reader {
        std::thread thread;
        std::shared_ptr<Rs232> port;
        std::atomic<bool> stop{false};
    };
    using Readers = std::vector<std::shared_ptr<Reader>>;

    void run_reader(Reader &reader);
    // Under the API lock: stops the running reader and hands every reader
    // that can be joined from this thread to `done`; a reader that is the
    // calling thread (a listener closing from inside its delivery) is kept
    // in retired_ until another thread can join it. -1 when nothing was open.
    int stop_locked(Readers &done);
    // Joins what stop_locked handed out; with no lock held, because a
    // delivery still running may call open, close or write.
    static void join(Readers &done);
    // Under the API lock: opens the port with the settings and starts its
    // reader.
    int start_locked(const SerialSettings *settings);
    void drop_port();
    std::shared_ptr<Rs232> open_port();

    uint32_t valid_ = 0;
    std::atomic<uint32_t> open_{0};
    int8_t id_;
    SerialSettings settings_{SERIAL_BAUD_NOT_SET, 0, 0};
    char path_[kPathSize] = {};
    uint8_t buffer_[kBufferSize] = {};
    // Shared with the reader, and so that a write in progress keeps the port
    // alive while close runs.
    std::shared_ptr<Rs232> port_;
    class_control *listener_;
    std::shared_ptr<Reader> reader_;
    Readers retired_;
    bool destroying_ = false;
    std::mutex api_lock_;
    std::mutex callback_lock_;
    // Guards the port pointer; writes are serialised by the port's own write
    // lock, so a listener may write from inside a delivery while another
    // thread closes.
    std::mutex port_lock_;
};
