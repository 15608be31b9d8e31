#include "board/serial_control.h"

#include "interfaces/control.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <system_error>

SerialControl::SerialControl(class_control *listener, int8_t serial_id, const char *device_path)
    : id_(serial_id), listener_(listener)
{
    if (device_path) {
        std::strncpy(path_, device_path, kPathSize - 1);
        path_[kPathSize - 1] = '\0';
    }
    valid_ = 1;
}

SerialControl::~SerialControl()
{
    {
        // No delivery may open the port again from here on.
        std::lock_guard<std::mutex> lock(api_lock_);
        destroying_ = true;
    }
    close();
    // Left only when the object is destroyed by its own reader, which cannot
    // join itself.
    for (std::shared_ptr<Reader> &r : retired_)
        if (r->thread.joinable())
            r->thread.detach();
}

void SerialControl::run()
{
    std::shared_ptr<Reader> reader;
    {
        std::lock_guard<std::mutex> lock(api_lock_);
        reader = reader_;
    }
    if (reader)
        run_reader(*reader);
}

void SerialControl::run_reader(Reader &reader)
{
    uint8_t chunk[kBufferSize];
    while (!reader.stop) {
        ssize_t n = reader.port->read(chunk, sizeof chunk);
        if (reader.stop)
            break;
        if (n > 0) {
            std::lock_guard<std::mutex> lock(callback_lock_);
            if (reader.stop)
                break;
            std::memcpy(buffer_, chunk, static_cast<size_t>(n));
            if (listener_)
                listener_->cb_serialread(id_, buffer_, static_cast<uint16_t>(n));
        } else {
            // A hung-up line reads 0 or fails at once: pause briefly instead of
            // spinning on it.
            ::usleep(10000);
        }
    }
}

void SerialControl::drop_port()
{
    std::lock_guard<std::mutex> lock(port_lock_);
    port_.reset();
    open_ = 0;
}

std::shared_ptr<Rs232> SerialControl::open_port()
{
    std::lock_guard<std::mutex> lock(port_lock_);
    if (!open_)
        return nullptr;
    return port_;
}

int SerialControl::stop_locked(Readers &done)
{
    const std::thread::id self = std::this_thread::get_id();
    for (auto it = retired_.begin(); it != retired_.end();) {
        if ((*it)->thread.get_id() == self) {
            ++it;
        } else {
            done.push_back(std::move(*it));
            it = retired_.erase(it);
        }
    }
    std::shared_ptr<Reader> reader = std::move(reader_);
    reader_.reset();
    const bool was_open = valid_ && open_;
    drop_port();
    if (!reader)
        return was_open ? 0 : -1;
    reader->stop = true;
    reader->port->interrupt();
    if (reader->thread.get_id() == self)
        retired_.push_back(std::move(reader)); // ends once its delivery returns
    else
        done.push_back(std::move(reader));
    return was_open ? 0 : -1;
}

void SerialControl::join(Readers &done)
{
    for (std::shared_ptr<Reader> &r : done)
        if (r->thread.joinable())
            r->thread.join();
    done.clear();
}

int SerialControl::stop()
{
    return close();
}

int SerialControl::open(const SerialSettings *settings)
{
    Readers done;
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(api_lock_);
        stop_locked(done);
        if (destroying_ || !settings || settings->baud == SERIAL_BAUD_NOT_SET)
            rc = destroying_ ? -1 : 0;
        else if (settings->baud == 0 && settings_.baud == SERIAL_BAUD_NOT_SET)
            rc = 0;
        else
            rc = start_locked(settings);
    }
    join(done);
    return rc;
}

int SerialControl::start_locked(const SerialSettings *settings)
{
    if (settings->baud != 0)
        settings_ = *settings;
    std::shared_ptr<Rs232> port =
        std::make_shared<Rs232>(path_, settings_.baud, settings_.parity, settings_.stop_bits);
    {
        // Kept even when it failed to open: SetTimeoutReset still reaches it.
        std::lock_guard<std::mutex> lock(port_lock_);
        port_ = port;
    }
    if (!port->is_open())
        return -1;
    std::shared_ptr<Reader> reader = std::make_shared<Reader>();
    reader->port = port;
    try {
        reader->thread = std::thread([this, reader] { run_reader(*reader); });
    } catch (const std::system_error &) {
        drop_port();
        return -1;
    }
    reader_ = std::move(reader);
    open_ = 1;
    return 0;
}

int SerialControl::close()
{
    Readers done;
    int rc;
    {
        std::lock_guard<std::mutex> lock(api_lock_);
        rc = stop_locked(done);
    }
    join(done);
    return rc;
}

int SerialControl::get_settings(SerialSettings *out)
{
    std::lock_guard<std::mutex> lock(api_lock_);
    if (open_) {
        *out = settings_;
        return 0;
    }
    *out = SerialSettings{SERIAL_BAUD_NOT_SET, 0, 0};
    return -1;
}

void SerialControl::SetTimeoutReset(int flag)
{
    // The port may be dropped meanwhile by a close from the reader's own
    // delivery: take it under its lock.
    std::shared_ptr<Rs232> port;
    {
        std::lock_guard<std::mutex> lock(port_lock_);
        port = port_;
    }
    if (!port) {
        std::puts("Use SetTimeoutReset() after init!");
        std::fflush(stdout);
        ::_exit(-1);
    }
    port->SetTimeoutReset(flag);
}

uint32_t SerialControl::is_valid()
{
    return valid_;
}

uint32_t SerialControl::is_open()
{
    return open_;
}

int SerialControl::get_id()
{
    return valid_ ? id_ : -1;
}

int SerialControl::write(const uint8_t *buf, size_t len)
{
    std::shared_ptr<Rs232> port = open_port();
    if (!port)
        return -1;
    return static_cast<int>(port->write(buf, len));
}

int SerialControl::drain()
{
    std::shared_ptr<Rs232> port = open_port();
    if (!port)
        return -1;
    return port->drain();
}
