// Starts boardbox with a program and follows it: its standard output and
// error are captured line by line.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace boardbox
{

class BoxProcess
{
  public:
    using ms = std::chrono::milliseconds;

    // The boardbox of this build.
    static std::string default_binary();
    // A fresh path for a socket or log file (short enough for a Unix socket).
    static std::string temp_path(const std::string &stem);

    explicit BoxProcess(std::string binary = default_binary()) : binary_(std::move(binary)) {}
    ~BoxProcess();
    BoxProcess(const BoxProcess &) = delete;
    BoxProcess &operator=(const BoxProcess &) = delete;

    // `box_options` go before "--", then the program and its arguments. 0 or -1.
    int start(const std::vector<std::string> &box_options, const std::vector<std::string> &program);

    // True once a line (stdout or stderr) containing `text` was seen.
    bool wait_for_line(const std::string &text, ms timeout = ms(10000));
    // The exit status (128+N for signal N), or -1 on time-out.
    int wait_exit(ms timeout = ms(30000));
    // SIGTERM, then SIGKILL after `grace`; returns the exit status.
    int stop(ms grace = ms(5000));

    pid_t pid() const { return pid_; }
    std::vector<std::string> stdout_lines() const;
    std::vector<std::string> stderr_lines() const;
    // Everything captured so far, for failure messages.
    std::string output() const;

  private:
    void reader(int out, int err);
    void reap_locked(std::unique_lock<std::mutex> &g);

    std::string binary_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    mutable std::mutex lock_;
    std::condition_variable cv_;
    std::vector<std::string> out_, err_;
    bool streams_closed_ = false;
    std::thread reader_;
};

} // namespace boardbox
