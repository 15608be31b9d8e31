// n_udp: the small UDP helpers of the voice relay. Ports are host order at this
// interface; addresses are IPv4 in network order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace n_udp
{

// UDP socket with SO_REUSEADDR bound to address (0 = any) and port, and to the
// network device when one is named (cut to 15 characters). -1 on failure.
int bind(int port, uint32_t address, const char *device);
// Like recvfrom(2); the sender's address and port (host order) go to the outs.
int recvfrom(int socket, void *buf, size_t size, uint32_t *address, int *port);
int sendto(int socket, const void *data, size_t len, uint32_t address, int port);
// Both act only on a non-negative descriptor and then set it to -1.
void close(int &socket);
void shutdown(int &socket);
// Dotted text, or "?.?.?.?" when conversion fails.
std::string addr2str(uint32_t address);
// Parses dotted text; 0xFFFFFFFF (INADDR_NONE) when it is not an address.
uint32_t str2addr(const char *text);

} // namespace n_udp
