// gatesimd's side of DM3000 heads: answers each display request (2001) with a
// 132 x 32 picture, either the "site screen" (channel name, clock, last key)
// or a fixed PBM picture, prints every button (2002), and sends text lines or
// pictures to the heads on the operator's command.
#pragma once

#include "gatesim/libgatesim.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace dm3000
{

constexpr int WIDTH = 132;
constexpr int HEIGHT = 32;
constexpr int LINES = 4;             // text lines of 8 pixel rows
constexpr int LINE_CHARS = 22;       // 6 pixels a character
using Pixels = std::vector<uint8_t>; // 4224 bytes, row by row, 1 = lit

// Up to four lines in a 5 x 7 font; lower case is shown as upper case, other
// characters without a glyph as '?'; longer lines are cut.
Pixels render_lines(const std::vector<std::string> &lines);
// 4224 pixels to the 528-byte packed image of the status record.
std::vector<uint8_t> pack(const Pixels &pixels);
// "12 34 | abc" -> {"12 34", "abc"}: lines separated by '|', trimmed.
std::vector<std::string> split_lines(const std::string &text);

class Site
{
  public:
    // `channel`: the first line of the site screen.
    Site(libgatesim &sim, std::string channel);
    // A 132 x 32 PBM picture to answer with instead of the site screen.
    bool load_fixed(const std::string &path, std::string &error);

    // The library's 2001/2002 callback.
    int on_request(unsigned req, const unsigned char *payload, int len);
    // The picture a request is answered with now.
    Pixels screen();

    // Operator commands; false when `line` is none of them.
    //   dmtext LINE|LINE...   text lines to every head
    //   dmimage FILE          a 132 x 32 PBM picture to every head
    //   dmscreen              the site screen (or the fixed picture) now
    bool execute(const std::string &line, std::string &reply);
    static const char *help_text();

  private:
    int send(const Pixels &pixels);

    libgatesim &sim_;
    std::mutex m_;
    std::string channel_;
    std::string last_key_ = "--";
    Pixels fixed_;
};

} // namespace dm3000
