// The operator's commands of gatesimd, one per line, from standard input or
// the control socket. Each raises one asynchronous event of the emulator.
#pragma once

#include "gatesim/libgatesim.h"

#include <cstdint>
#include <string>
#include <vector>

// Hex text to bytes: pairs of digits, optionally separated by spaces, ':' or
// ','; an optional "0x" before a pair is allowed. False on anything else.
bool parse_hex(const std::string &text, std::vector<uint8_t> &out);

// Gateways the host serves beside the library's (the XML side): the squelch
// and GPIO commands reach them too, and the lines it knows are its own.
class CommandExtension
{
  public:
    virtual ~CommandExtension() = default;
    virtual void unlock_sql(int sql) = 0;
    virtual void gpio_changed(uint32_t bitmap, uint32_t mask) = 0;
    // Runs `cmd` (with the rest of the line) if it is one of its commands:
    // true with `reply` set.
    virtual bool execute(const std::string &cmd, const std::string &args, std::string &reply) = 0;
    virtual const char *help() const = 0;
};

class CommandInterpreter
{
  public:
    explicit CommandInterpreter(libgatesim &sim, CommandExtension *ext = nullptr) : sim_(sim), ext_(ext) {}

    // Runs one line. The reply ends with a line starting "ok" or "error: "
    // (help puts its list before it); empty for blank and comment lines.
    // `quit` is set by the quit command.
    std::string execute(const std::string &line, bool &quit);

    static const char *help_text();

  private:
    std::string send_serial_file(int channel, const std::string &path);
    libgatesim &sim_;
    CommandExtension *ext_;
};
