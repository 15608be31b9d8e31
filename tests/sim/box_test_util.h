// Shared by the box tests: where the programs are, and small file helpers.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/box_process.h"

namespace boxtest
{

inline std::string probe()
{
    return std::string(GW_BUILD_DIR) + "/tests/box_probe";
}
inline std::string deny_unshare()
{
    return std::string(GW_BUILD_DIR) + "/tests/deny_unshare";
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

inline std::set<std::string> list_dir(const std::string &path)
{
    std::set<std::string> names;
    if (DIR *d = ::opendir(path.c_str())) {
        while (dirent *e = ::readdir(d))
            names.insert(e->d_name);
        ::closedir(d);
    }
    return names;
}

// Removes a directory and everything below it.
inline void remove_tree(const std::string &path)
{
    for (auto &n : list_dir(path)) {
        if (n == "." || n == "..")
            continue;
        std::string p = path + "/" + n;
        struct stat st;
        if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            remove_tree(p);
        else
            ::unlink(p.c_str());
    }
    ::rmdir(path.c_str());
}

// A fresh directory, removed with its contents by the destructor.
struct TempDir {
    std::string path;
    TempDir() : path(boardbox::BoxProcess::temp_path("dir")) { ::mkdir(path.c_str(), 0755); }
    ~TempDir() { remove_tree(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// The line of `lines` containing `text`, or "".
inline std::string line_with(const std::vector<std::string> &lines, const std::string &text)
{
    for (auto &l : lines)
        if (l.find(text) != std::string::npos)
            return l;
    return "";
}

// Polls until `pred` holds (the box applies the product's register writes and
// its peers' answers asynchronously); false after `timeout`.
template <class Pred> bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

} // namespace boxtest
