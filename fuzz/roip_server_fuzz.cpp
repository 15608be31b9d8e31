// The emulator's end of the binary protocol, fed what a gateway (or anybody
// else reaching its port) might send, through the handler each connection's
// thread runs. The bytes arrive on one end of a socket pair.
#include "gatesim/gatesim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>

namespace
{

gatesim *sim = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sim = new gatesim();
    sim->set_cb_info_ver([](libgatesim::s_info_ver &v) {
        v.proto_major = 1;
        v.proto_minor = 6;
        return 0;
    });
    sim->set_cb_login_req(
        [](libgatesim::s_login_req &r, const std::string &user, const std::string &, const std::string &) {
            if (user == "nobody")
                return 5;
            r.codec_type = 1;
            r.rtype0 = 0;
            r.rtype1 = 0;
            r.priv_level = user == "guest" ? 0 : 1;
            r.device_name = "fuzz";
            return 0;
        });
    sim->set_cb_set_ptt([](int ptt) { return ptt > 1 ? 4 : 0; });
    sim->set_cb_xml_status_req([] { return 0; });
    sim->set_cb_xml_action([](unsigned &a, unsigned &b, const std::string &text) {
        a += static_cast<unsigned>(text.size());
        b ^= a;
        return text.empty() ? 2 : 0;
    });
    sim->set_cb_front([](unsigned, const unsigned char *body, int len) {
        volatile unsigned sum = 0;
        for (int i = 0; i < len; ++i)
            sum = sum + body[i];
        return 0;
    });
    // Serving on an ephemeral loopback port nobody connects to; the inputs
    // are handed to the handler directly.
    if (sim->init("127.0.0.1", 0, 1, 0) != 0)
        std::fprintf(stderr, "emulator init failed\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // All of it must fit the socket's buffer before the handler runs.
    if (size > 65536)
        return 0;
    int sp[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp) != 0)
        return 0;
    int big = 1 << 20;
    ::setsockopt(sp[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(sp[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t off = 0;
    while (off < size) {
        ssize_t n = ::write(sp[1], data + off, size - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    ::shutdown(sp[1], SHUT_WR);
    // Answers that do not fit fail the write instead of blocking the run.
    ::fcntl(sp[0], F_SETFL, ::fcntl(sp[0], F_GETFL) | O_NONBLOCK);

    tcpkit::client c;
    c.socket = sp[0];
    c.peer.sin_family = AF_INET;
    c.peer.sin_port = htons(40000);
    c.peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c.queue = std::make_unique<EventQ>();
    sim->tcp_process(&c);
    sim->tcp_disconnect(&c);
    ::close(sp[0]);
    ::close(sp[1]);
    return 0;
}
