// The flashing dialogue with a target over an open line: enter flashing mode,
// reset, query the boot state, program (and optionally verify) the blocks,
// leave flashing mode and reset. Each request is answered by one frame; every
// failure ends the dialogue at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "tools/headflash/frames.h"

namespace headflash
{

struct FlashOptions {
    bool verify = false;
    bool debug = false; // print every frame sent and received
};

class Flasher
{
  public:
    // `port` and `file` stay the caller's; `file` is positioned after the
    // header. Progress goes to `out`.
    Flasher(int port, int file, uint32_t blocks, FlashOptions options, FILE *out);

    // nullptr on success, else the error text.
    const char *run();

    // The whole request goes out, or -1.
    int frame_send(const std::vector<uint8_t> &frame);
    // The answer to the last request, within its window.
    Answer frame_recv();
    // One exchange: opens a new answer window, sends and waits for the
    // answer; -1 when the send failed.
    int request(const std::vector<uint8_t> &frame, Answer &answer);

    static constexpr std::chrono::seconds answer_window{11};

  private:
    const char *enter_flashing_mode();
    const char *reset();
    // Sends every block with `command`; nullptr or the error text.
    const char *blocks_pass(uint8_t command);
    // One whole block of the file, or false.
    bool read_block(uint8_t *block);

    int port_;
    int file_;
    uint32_t blocks_;
    FlashOptions options_;
    FILE *out_;
    std::chrono::steady_clock::time_point window_end_;
};

} // namespace headflash
