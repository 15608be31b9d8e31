// The protocol version gatesimd announces (--proto MAJOR.MINOR) and what it
// prints of the blocked-user lists that gateways upload from version 1.6 on.
#pragma once

#include <string>
#include <vector>

struct ProtoVersion {
    // 1.5: gateways log in without uploading their blocked list.
    unsigned short major = 1;
    unsigned short minor = 5;
};

// "MAJOR.MINOR", each 0-65535; false for anything else.
bool parse_proto_version(const std::string &text, ProtoVersion &out);

// One line naming the gateway's user and the number of names, then one line
// per name.
std::string blocked_list_lines(const std::string &user, const std::vector<std::string> &names);
