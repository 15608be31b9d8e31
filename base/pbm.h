// One-bit pictures in the netpbm PBM format, plain (P1) or raw (P4): the DM3000
// display images of the box, the server emulator and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pbm
{

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels; // row by row, 1 = black (lit), 0 = white
};

// Parses a P1 or P4 picture. False with a reason on anything malformed
// (unknown magic, bad size, too few pixels, a digit other than 0 or 1).
bool parse(const std::string &text, Image &out, std::string &error);
bool load(const std::string &path, Image &out, std::string &error);
// A raw (P4) picture.
std::string to_p4(const Image &image);
// A plain (P1) picture, one text line per row.
std::string to_p1(const Image &image);
// Writes the file whole (P4), via a temporary name. False on any failure.
bool save(const std::string &path, const Image &image);

} // namespace pbm
