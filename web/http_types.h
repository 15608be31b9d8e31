// A request as the web application sees it, and its answer: plain values,
// independent of the HTTP library, so the application runs the same under
// the server and under the fuzzer.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace gwweb
{

struct Request {
    std::string method;                         // "GET", "POST", ...
    std::string path;                           // as sent, before any query
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string client; // the peer's address, for the login throttle
    bool tls = false;
};

struct Response {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

} // namespace gwweb
