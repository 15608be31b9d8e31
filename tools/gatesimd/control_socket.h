// The Unix control socket of gatesimd: newline-separated commands in, one
// reply per command out (the same commands as on standard input).
#pragma once

#include <functional>
#include <string>
#include <vector>

class ControlSocket
{
  public:
    using handler = std::function<std::string(const std::string &line)>;

    ~ControlSocket();
    // Replaces a stale socket file at `path`; false with `error` set otherwise.
    bool open(const std::string &path, std::string &error);
    // Descriptors to poll for input (the listener and each connection).
    std::vector<int> fds() const;
    // Handles whatever is readable on `fd`.
    void on_readable(int fd, const handler &h);

  private:
    struct conn {
        int fd;
        std::string buffer;
    };
    int listen_fd_ = -1;
    std::string path_;
    std::vector<conn> conns_;
};
