// The status file's mapping, written seqlock style: the writer makes the
// sequence odd, stores the words, makes it even again; a reader copies the
// words and keeps the copy only when the sequence was even and unchanged
// around it. Neither side ever waits for the other.
#pragma once

#include "status/status_layout.h"

#include <cstdint>
#include <string>
#include <vector>

namespace gw_status
{

// One mapping of the file, shared or read-only.
class StatusMap
{
  public:
    StatusMap() = default;
    ~StatusMap();
    StatusMap(const StatusMap &) = delete;
    StatusMap &operator=(const StatusMap &) = delete;

    // Creates the file (owner-only) or takes the one a
    // previous run left, keeping its log. 0, or -1.
    int open_for_writing(const char *path);
    // Maps an existing file read-only. 0, or -1 when it is missing, of
    // another size or of another layout.
    int open_for_reading(const char *path);
    bool is_open() const { return words_ != nullptr; }
    void close();

    // Writer side. Only one thread at a time may call each of them; the two
    // may run at once (each region has its own sequence).
    void publish(const uint8_t record[record_size]);
    void append_log(const char *text, size_t length);

    // Reader side: false when no consistent copy was had within a few tries.
    bool read_record(uint8_t out[record_size]) const;
    bool read_log(std::string &text) const;

  private:
    uint32_t load(size_t offset) const;
    void store(size_t offset, uint32_t word);
    void copy_out(size_t offset, uint8_t *out, size_t length) const;

    uint32_t *words_ = nullptr;
    bool writable_ = false;
};

// The last `count` complete lines of a ring's text, oldest first; a line cut
// by the ring's wrap is dropped.
std::vector<std::string> last_lines(const std::string &text, size_t count);

} // namespace gw_status
