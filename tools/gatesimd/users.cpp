#include "tools/gatesimd/users.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace
{

// A name or password longer than 31 characters never matches: the gateway's
// login fields hold 31 characters and a terminator.
constexpr size_t max_field = 31;

} // namespace

UserTable UserTable::defaults()
{
    UserTable t;
    t.users_.push_back(GatesimUser{"user", "qzv", 1, 1, "", false});
    return t;
}

int UserTable::codec_from_name(const std::string &name)
{
    if (name == "alaw")
        return 1;
    if (name == "gsm")
        return 2;
    if (name == "speex")
        return 3;
    return 0;
}

const char *UserTable::codec_name(int codec)
{
    switch (codec) {
    case 1:
        return "alaw";
    case 2:
        return "gsm";
    case 3:
        return "speex";
    default:
        return "?";
    }
}

bool UserTable::parse(const std::string &text, UserTable &out, std::string &error)
{
    UserTable t;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        std::istringstream words(line);
        std::string name, password, level, codec, devname, rckd, extra;
        if (!(words >> name) || name[0] == '#')
            continue;
        auto fail = [&](const std::string &why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (!(words >> password >> level >> codec))
            return fail("expected NAME PASSWORD LEVEL CODEC");
        words >> devname >> rckd;
        if (words >> extra)
            return fail("unexpected text after the encryption flag");
        if (!rckd.empty() && rckd != "rckd")
            return fail("after the device name only rckd may follow: " + rckd);
        if (name.size() > max_field || password.size() > max_field)
            return fail("name and password are at most 31 characters");
        char *end = nullptr;
        errno = 0;
        long lv = std::strtol(level.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || lv < INT_MIN || lv > INT_MAX)
            return fail("level is not a number: " + level);
        int c = codec_from_name(codec);
        if (c == 0)
            return fail("codec must be alaw, gsm or speex: " + codec);
        for (const GatesimUser &u : t.users_)
            if (u.name == name)
                return fail("user listed twice: " + name);
        t.users_.push_back(GatesimUser{name, password, static_cast<int>(lv), c, devname, !rckd.empty()});
    }
    if (t.users_.empty()) {
        error = "no users";
        return false;
    }
    out = std::move(t);
    return true;
}

bool UserTable::load(const std::string &path, UserTable &out, std::string &error)
{
    std::ifstream f(path);
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

const GatesimUser *UserTable::find(const std::string &name, const std::string &password) const
{
    for (const GatesimUser &u : users_)
        if (u.name == name && u.password == password)
            return &u;
    return nullptr;
}
