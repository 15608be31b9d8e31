#include "gatesim/n_udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace n_udp
{

int bind(int port, uint32_t address, const char *device)
{
    if (port < 0 || port > 65535)
        return -1;
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int on = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = address;
    bool ok = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (ok && device != nullptr && device[0] != '\0') {
        char name[IFNAMSIZ] = {};
        std::strncpy(name, device, IFNAMSIZ - 1);
        ok = setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, name,
                        static_cast<socklen_t>(std::strlen(name) + 1)) == 0;
    }
    if (!ok) {
        shutdown(s);
        return -1;
    }
    return s;
}

int recvfrom(int socket, void *buf, size_t size, uint32_t *address, int *port)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t r;
    do {
        r = ::recvfrom(socket, buf, size, 0, reinterpret_cast<sockaddr *>(&a), &len);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    if (address != nullptr)
        *address = a.sin_addr.s_addr;
    if (port != nullptr)
        *port = ntohs(a.sin_port);
    return static_cast<int>(r);
}

int sendto(int socket, const void *data, size_t len, uint32_t address, int port)
{
    if (port <= 0 || port > 65535)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = address;
    ssize_t r;
    do {
        r = ::sendto(socket, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&a), sizeof a);
    } while (r < 0 && errno == EINTR);
    return static_cast<int>(r);
}

void close(int &socket)
{
    if (socket < 0)
        return;
    ::close(socket);
    socket = -1;
}

void shutdown(int &socket)
{
    if (socket < 0)
        return;
    ::shutdown(socket, SHUT_RDWR);
    close(socket);
}

std::string addr2str(uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    char buf[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &a, buf, sizeof buf) == nullptr)
        return "?.?.?.?";
    return buf;
}

uint32_t str2addr(const char *text)
{
    in_addr a{};
    if (text == nullptr || inet_pton(AF_INET, text, &a) != 1)
        return INADDR_NONE;
    return a.s_addr;
}

} // namespace n_udp
