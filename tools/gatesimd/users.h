// The users gatesimd accepts: name, password, privilege level, the codec the
// gateway is told to use, and what XML gateways are told of their device.
#pragma once

#include <string>
#include <vector>

struct GatesimUser {
    std::string name;
    std::string password;
    int level = 1;
    int codec = 1;       // 1 alaw, 2 gsm, 3 speex (the login result's CodecType)
    std::string devname; // empty: the site's default device name
    bool rckd = false;   // XML gateways are told to encrypt their voice
};

class UserTable
{
  public:
    // The factory credentials of a gateway: user / qzv, level 1, alaw.
    static UserTable defaults();

    // Lines "NAME PASSWORD LEVEL CODEC [DEVNAME [rckd]]"; blank lines and lines starting with
    // '#' are skipped. On failure `error` names the line and the problem.
    static bool parse(const std::string &text, UserTable &out, std::string &error);
    static bool load(const std::string &path, UserTable &out, std::string &error);

    // The user with this name and password, or null.
    const GatesimUser *find(const std::string &name, const std::string &password) const;
    const std::vector<GatesimUser> &users() const { return users_; }

    static int codec_from_name(const std::string &name); // 0 when unknown
    static const char *codec_name(int codec);

  private:
    std::vector<GatesimUser> users_;
};
