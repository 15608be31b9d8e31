// gwwebd: the operator's web interface on the gateway. Runs beside gwlinkd,
// reads its status file, edits "/config" with gwcfg's checks, takes firmware
// images into "/dev/ram0".
#include "web/web_server.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace
{

constexpr int exit_usage = 2;

void usage(FILE *to)
{
    std::fputs("usage: gwwebd [--port N] [--bind ADDR] [--tls-cert FILE --tls-key FILE] [--metrics-open]\n"
               "  --port N         TCP port to listen on (default 80)\n"
               "  --bind ADDR      IPv4 address to listen on (default 0.0.0.0)\n"
               "  --tls-cert FILE  PEM certificate: serve HTTPS (needs --tls-key)\n"
               "  --tls-key FILE   PEM private key of the certificate\n"
               "  --metrics-open   serve /metrics without a login\n",
               to);
}

bool read_text(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !out.empty() && out.size() < 1024 * 1024;
}

bool parse_port(const char *text, int &port)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 65535)
        return false;
    port = static_cast<int>(v);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A client gone half way must not end the server.
    ::signal(SIGPIPE, SIG_IGN);

    gwweb::ServerOptions opt;
    std::string cert_file, key_file;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--metrics-open") {
            opt.metrics_open = true;
        } else if (a == "--port" && has_value) {
            if (!parse_port(argv[++i], opt.port)) {
                std::fprintf(stderr, "gwwebd: not a port: %s\n", argv[i]);
                return exit_usage;
            }
        } else if (a == "--bind" && has_value) {
            opt.bind = argv[++i];
        } else if (a == "--tls-cert" && has_value) {
            cert_file = argv[++i];
        } else if (a == "--tls-key" && has_value) {
            key_file = argv[++i];
        } else {
            usage(stderr);
            return exit_usage;
        }
    }
    if (cert_file.empty() != key_file.empty()) {
        std::fprintf(stderr, "gwwebd: --tls-cert and --tls-key go together\n");
        return exit_usage;
    }
    if (!cert_file.empty() && (!read_text(cert_file, opt.tls_cert) || !read_text(key_file, opt.tls_key))) {
        std::fprintf(stderr, "gwwebd: cannot read %s or %s\n", cert_file.c_str(), key_file.c_str());
        return 1;
    }

    // Signals are taken by sigwait below, on this thread only: the server's
    // thread, started next, inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    gwweb::WebServer server(opt);
    std::string error;
    if (server.start(error) != 0) {
        std::fprintf(stderr, "gwwebd: %s\n", error.c_str());
        return 1;
    }
    std::printf("gwwebd: listening on %s:%d (%s)\n", opt.bind.c_str(), opt.port,
                opt.tls_cert.empty() ? "http" : "https");
    int sig = 0;
    ::sigwait(&stop, &sig);
    server.stop();
    std::printf("gwwebd: stopped by signal %d\n", sig);
    return 0;
}
