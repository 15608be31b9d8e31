#include "tools/gatesimd/dm3000.h"

#include "base/pbm.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>

namespace dm3000
{

namespace
{

// Five columns a row, most significant of the five on the left.
const std::map<char, std::array<uint8_t, 7>> font = {
    {' ', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}}, {'\'', {0x0C, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}}, {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'*', {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00}}, {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}}, {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {'/', {0x01, 0x02, 0x02, 0x04, 0x08, 0x08, 0x10}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1E, 0x01, 0x01, 0x0E, 0x01, 0x01, 0x1E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}}, {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}}, {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}}, {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}}, {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}}, {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}}, {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}}, {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}}, {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}}, {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}}, {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}}, {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}}, {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
};

void draw_char(Pixels &px, char ch, int x, int y)
{
    char up = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    auto it = font.find(up);
    if (it == font.end())
        it = font.find('?');
    for (int r = 0; r < 7; r++)
        for (int c = 0; c < 5; c++)
            if (it->second[r] & (0x10 >> c))
                px[static_cast<size_t>((y + r) * WIDTH + x + c)] = 1;
}

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

const char *mode_name(uint32_t mode)
{
    switch (mode) {
    case 1:
        return "press";
    case 2:
        return "release";
    case 3:
        return "mic";
    default:
        return "unknown";
    }
}

} // namespace

Pixels render_lines(const std::vector<std::string> &lines)
{
    Pixels px(WIDTH * HEIGHT, 0);
    for (size_t l = 0; l < lines.size() && l < LINES; l++) {
        const std::string &t = lines[l];
        for (size_t i = 0; i < t.size() && i < LINE_CHARS; i++)
            draw_char(px, t[i], 1 + static_cast<int>(i) * 6, static_cast<int>(l) * 8);
    }
    return px;
}

std::vector<uint8_t> pack(const Pixels &pixels)
{
    std::vector<uint8_t> packed(WIDTH * HEIGHT / 8, 0);
    for (size_t p = 0; p < pixels.size() && p < WIDTH * HEIGHT; p++)
        if (pixels[p])
            packed[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
    return packed;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, '|'))
        lines.push_back(trim(part));
    return lines;
}

Site::Site(libgatesim &sim, std::string channel) : sim_(sim), channel_(std::move(channel)) {}

bool Site::load_fixed(const std::string &path, std::string &error)
{
    pbm::Image img;
    if (!pbm::load(path, img, error))
        return false;
    if (img.width != WIDTH || img.height != HEIGHT) {
        error = path + ": the picture is " + std::to_string(img.width) + " x " + std::to_string(img.height) +
                ", the display 132 x 32";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_);
    fixed_ = img.pixels;
    return true;
}

Pixels Site::screen()
{
    std::lock_guard<std::mutex> lock(m_);
    if (!fixed_.empty())
        return fixed_;
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
    return render_lines({channel_, clock, "KEY " + last_key_, "GATESIMD"});
}

int Site::send(const Pixels &pixels)
{
    std::vector<uint8_t> packed = pack(pixels);
    return sim_.async_dm3000_status(0, 0, packed.data(), static_cast<int>(packed.size()));
}

int Site::on_request(unsigned req, const unsigned char *payload, int len)
{
    if (req == 2001) {
        std::printf("gatesimd: dm3000 status request\n");
        return send(screen());
    }
    if (req == 2002 && len == 6) {
        const uint32_t mode = static_cast<uint32_t>(payload[2]) | static_cast<uint32_t>(payload[3]) << 8 |
                              static_cast<uint32_t>(payload[4]) << 16 |
                              static_cast<uint32_t>(payload[5]) << 24;
        std::printf("gatesimd: dm3000 button 0x%02X 0x%02X mode %u (%s)\n", payload[0], payload[1], mode,
                    mode_name(mode));
        char key[32];
        std::snprintf(key, sizeof key, "%02X/%02X %s", payload[0], payload[1], mode_name(mode));
        bool redraw;
        {
            std::lock_guard<std::mutex> lock(m_);
            last_key_ = key;
            redraw = fixed_.empty();
        }
        // The site screen shows the last key at once.
        return redraw ? send(screen()) : 0;
    }
    return 0;
}

const char *Site::help_text()
{
    return "DM3000 heads (tunnelled 2003 status records with a 132 x 32 picture):\n"
           "  dmtext LINE|LINE...        up to 4 text lines of 22 characters to the heads\n"
           "  dmimage FILE               a 132 x 32 PBM picture to the heads\n"
           "  dmscreen                   the answer to a display request, now\n";
}

bool Site::execute(const std::string &line, std::string &reply)
{
    std::istringstream in(line);
    std::string cmd;
    if (!(in >> cmd))
        return false;
    std::string rest;
    std::getline(in, rest);
    rest = trim(rest);
    if (cmd == "dmtext") {
        std::vector<std::string> lines = split_lines(rest);
        if (lines.size() > LINES) {
            reply = "error: at most 4 lines";
            return true;
        }
        reply = send(render_lines(lines)) == 0 ? "ok" : "error: the emulator refused it";
        return true;
    }
    if (cmd == "dmimage") {
        pbm::Image img;
        std::string error;
        if (rest.empty() || !pbm::load(rest, img, error)) {
            reply = "error: " + (rest.empty() ? std::string("usage: dmimage FILE") : error);
            return true;
        }
        if (img.width != WIDTH || img.height != HEIGHT) {
            reply = "error: the picture must be 132 x 32";
            return true;
        }
        reply = send(img.pixels) == 0 ? "ok" : "error: the emulator refused it";
        return true;
    }
    if (cmd == "dmscreen") {
        reply = send(screen()) == 0 ? "ok" : "error: the emulator refused it";
        return true;
    }
    return false;
}

} // namespace dm3000
