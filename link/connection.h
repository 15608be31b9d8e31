// c_connection: one blocking byte stream to a server, over plain TCP or TLS.
// The transports know nothing about messages; they move exact byte counts and
// apply the socket time-outs by which a silent peer is detected.
#pragma once

#include <mutex>

class c_connection
{
  public:
    virtual ~c_connection() = default;

    // The transport's own lock, for callers that want to serialise their use.
    virtual std::recursive_mutex *mutex() = 0;
    // Opens the connection (closing any open one first): 0 or -1.
    virtual int connect() = 0;
    // Closes the connection if open; always 0. Safe to call from another thread
    // while a read or write is pending: that call then fails promptly.
    virtual int close() = 0;
    // Sends exactly len bytes; negative on failure (TCP returns 0, TLS len).
    virtual int write(const void *buf, int len) = 0;
    // Receives exactly len bytes: len (0 for len <= 0) or -1. A time-out and a
    // closed peer look the same.
    virtual int read(void *buf, int len) = 0;
    // Hands the socket to the caller and forgets it; -1 when none.
    virtual int release() = 0;
};
