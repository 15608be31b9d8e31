#include "base/pbm.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace pbm
{

namespace
{

constexpr long MAX_SIDE = 4096;

void skip_space_and_comments(const std::string &t, size_t &i)
{
    while (i < t.size()) {
        if (t[i] == '#') {
            while (i < t.size() && t[i] != '\n')
                i++;
        } else if (std::isspace(static_cast<unsigned char>(t[i]))) {
            i++;
        } else {
            return;
        }
    }
}

bool number(const std::string &t, size_t &i, long &out)
{
    skip_space_and_comments(t, i);
    size_t start = i;
    long v = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])) && v <= MAX_SIDE)
        v = v * 10 + (t[i++] - '0');
    if (i == start || v < 1 || v > MAX_SIDE)
        return false;
    out = v;
    return true;
}

} // namespace

bool parse(const std::string &t, Image &out, std::string &error)
{
    if (t.size() < 2 || t[0] != 'P' || (t[1] != '1' && t[1] != '4')) {
        error = "not a PBM picture (P1 or P4)";
        return false;
    }
    const bool raw = t[1] == '4';
    size_t i = 2;
    long w = 0, h = 0;
    if (!number(t, i, w) || !number(t, i, h)) {
        error = "bad PBM size";
        return false;
    }
    Image img;
    img.width = static_cast<int>(w);
    img.height = static_cast<int>(h);
    img.pixels.assign(static_cast<size_t>(w * h), 0);
    if (raw) {
        // Exactly one whitespace byte ends the header.
        if (i >= t.size() || !std::isspace(static_cast<unsigned char>(t[i]))) {
            error = "bad PBM header";
            return false;
        }
        i++;
        const size_t row_bytes = static_cast<size_t>((w + 7) / 8);
        if (t.size() - i < row_bytes * static_cast<size_t>(h)) {
            error = "PBM picture is cut short";
            return false;
        }
        for (long r = 0; r < h; r++)
            for (long c = 0; c < w; c++) {
                const uint8_t byte = static_cast<uint8_t>(t[i + static_cast<size_t>(r) * row_bytes + c / 8]);
                img.pixels[static_cast<size_t>(r * w + c)] = (byte >> (7 - c % 8)) & 1;
            }
    } else {
        for (size_t p = 0; p < img.pixels.size(); p++) {
            skip_space_and_comments(t, i);
            if (i >= t.size()) {
                error = "PBM picture is cut short";
                return false;
            }
            if (t[i] != '0' && t[i] != '1') {
                error = "PBM pixels must be 0 or 1";
                return false;
            }
            img.pixels[p] = t[i++] == '1';
        }
    }
    out = std::move(img);
    return true;
}

bool load(const std::string &path, Image &out, std::string &error)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    if (!parse(ss.str(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::string to_p4(const Image &img)
{
    std::string s = "P4\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n";
    const size_t row_bytes = static_cast<size_t>((img.width + 7) / 8);
    for (int r = 0; r < img.height; r++) {
        std::string row(row_bytes, '\0');
        for (int c = 0; c < img.width; c++)
            if (img.pixels[static_cast<size_t>(r * img.width + c)])
                row[static_cast<size_t>(c / 8)] |= static_cast<char>(0x80 >> (c % 8));
        s += row;
    }
    return s;
}

std::string to_p1(const Image &img)
{
    std::string s = "P1\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n";
    for (int r = 0; r < img.height; r++) {
        for (int c = 0; c < img.width; c++)
            s += img.pixels[static_cast<size_t>(r * img.width + c)] ? '1' : '0';
        s += '\n';
    }
    return s;
}

bool save(const std::string &path, const Image &img)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f)
            return false;
        f << to_p4(img);
        if (!f.flush())
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace pbm
