// The box's control socket: a Unix stream socket; each request is one line of
// JSON ({"cmd": NAME, ...}), each reply one line of JSON with "ok".
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/unique_fd.h"

namespace boardbox
{

class ControlServer
{
  public:
    using Handler = std::function<nlohmann::json(const nlohmann::json &request)>;

    ControlServer() = default;
    ~ControlServer() { stop(); }

    // Binds and listens (before the box changes its root, so the path is the
    // host's); an existing socket file at `path` is replaced. 0 or -1 with `why`.
    int bind(const std::string &path, std::string &why);
    // Commands are added before start; an unknown command gets an error reply,
    // as does a request that is not a JSON object.
    void add(const std::string &cmd, Handler handler);
    // Fallback for commands no handler claims (peers by kind name); returns a
    // null json when it does not know the command either.
    void set_fallback(Handler handler) { fallback_ = std::move(handler); }

    int start();
    // Stops serving, closes every connection and removes the socket file.
    void stop();

    // Runs one request line (what the socket thread does for each line).
    std::string handle_line(const std::string &line);

  private:
    void run();

    std::string path_;
    UniqueFd dir_; // the socket's directory, for removing it after a root change
    std::string base_;
    UniqueFd listen_;
    UniqueFd wake_;
    std::map<std::string, Handler> handlers_;
    Handler fallback_;
    std::thread thread_;
};

} // namespace boardbox
