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

class CommandInterpreter
{
  public:
    explicit CommandInterpreter(libgatesim &sim) : sim_(sim) {}

    // Runs one line. The reply ends with a line starting "ok" or "error: "
    // (help puts its list before it); empty for blank and comment lines.
    // `quit` is set by the quit command.
    std::string execute(const std::string &line, bool &quit);

    static const char *help_text();

  private:
    std::string send_serial_file(int channel, const std::string &path);
    libgatesim &sim_;
};
