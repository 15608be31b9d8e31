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
    close();
}

void SerialControl::run()
{
    while (!stopping_) {
        ssize_t n = port_->read(buffer_, sizeof buffer_);
        if (stopping_)
            break;
        if (n > 0) {
            std::lock_guard<std::mutex> lock(callback_lock_);
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

int SerialControl::stop_locked()
{
    if (!valid_ || !open_) {
        drop_port();
        return -1;
    }
    if (reader_.get_id() == std::this_thread::get_id()) {
        // Closed by the listener from inside a delivery: the reader ends by
        // itself once the delivery returns.
        stopping_ = true;
        reader_.detach();
    } else {
        // No other lock is taken here: a delivery in progress may write to
        // the port, and it is finished before the join returns.
        stopping_ = true;
        port_->interrupt();
        if (reader_.joinable())
            reader_.join();
    }
    drop_port();
    return 0;
}

int SerialControl::stop()
{
    return stop_locked();
}

int SerialControl::open(const SerialSettings *settings)
{
    std::lock_guard<std::mutex> lock(api_lock_);
    stop_locked();
    if (!settings || settings->baud == SERIAL_BAUD_NOT_SET)
        return 0;
    if (settings->baud == 0) {
        if (settings_.baud == SERIAL_BAUD_NOT_SET)
            return 0;
    } else {
        settings_ = *settings;
    }

    {
        // Kept even when it failed to open: SetTimeoutReset still reaches it.
        std::lock_guard<std::mutex> lock(port_lock_);
        port_ = std::make_shared<Rs232>(path_, settings_.baud, settings_.parity, settings_.stop_bits);
    }
    if (!port_->is_open())
        return -1;
    stopping_ = false;
    try {
        reader_ = std::thread(&SerialControl::run, this);
    } catch (const std::system_error &) {
        drop_port();
        return -1;
    }
    open_ = 1;
    return 0;
}

int SerialControl::close()
{
    std::lock_guard<std::mutex> lock(api_lock_);
    return stop_locked();
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
    if (!port_) {
        std::puts("Use SetTimeoutReset() after init!");
        std::fflush(stdout);
        ::_exit(-1);
    }
    port_->SetTimeoutReset(flag);
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
    std::lock_guard<std::mutex> lock(write_lock_);
    return static_cast<int>(port->write(buf, len));
}

int SerialControl::drain()
{
    std::shared_ptr<Rs232> port = open_port();
    if (!port)
        return -1;
    std::lock_guard<std::mutex> lock(write_lock_);
    return ::tcdrain(port->get_fd());
}
