// Slows down password guessing: after a few failed logins in a row from one
// address, each further attempt must wait twice as long as the one before
// (up to a minute). A success clears the address. A bounded table: the
// stalest address is forgotten first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gwweb
{

class LoginThrottle
{
  public:
    static constexpr unsigned free_failures = 3;
    static constexpr uint64_t max_wait_ms = 60 * 1000;
    static constexpr size_t max_clients = 64;

    // 0 when `client` may try now, else the milliseconds to wait.
    uint64_t wait_ms(const std::string &client, uint64_t now_ms) const;
    void failed(const std::string &client, uint64_t now_ms);
    void succeeded(const std::string &client);

  private:
    struct entry {
        std::string client;
        unsigned failures;
        uint64_t next_ms;
    };
    std::vector<entry> entries_;
};

} // namespace gwweb
