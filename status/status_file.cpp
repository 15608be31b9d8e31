#include "status/status_file.h"

#include "base/byteorder.h"
#include "base/unique_fd.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace gw_status
{

namespace
{

constexpr uint8_t magic[4] = {'G', 'W', 'S', 'T'};
constexpr int read_tries = 64;

static_assert(file_size % 4 == 0 && log_ring_size % 4 == 0 && record_size % 4 == 0, "whole words");

uint32_t word_of(const uint8_t *p)
{
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

} // namespace

StatusMap::~StatusMap()
{
    close();
}

void StatusMap::close()
{
    if (words_ != nullptr)
        ::munmap(words_, file_size);
    words_ = nullptr;
}

// Every word is stored with release and loaded with acquire, so no fence is
// needed: a reader that sees any word of a new record also sees the odd
// sequence stored before it, and its second look at the sequence cannot move
// ahead of the words it copied.
uint32_t StatusMap::load(size_t offset) const
{
    return __atomic_load_n(&words_[offset / 4], __ATOMIC_ACQUIRE);
}

void StatusMap::store(size_t offset, uint32_t word)
{
    __atomic_store_n(&words_[offset / 4], word, __ATOMIC_RELEASE);
}

int StatusMap::open_for_writing(const char *path)
{
    close();
    UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid())
        return -1;
    struct stat st;
    // The log holds the configuration as printed, passwords and all.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd.get(), 0600) != 0)
        return -1;
    const bool fresh = static_cast<size_t>(st.st_size) != file_size;
    if (fresh && ::ftruncate(fd.get(), 0) != 0)
        return -1;
    if (fresh && ::ftruncate(fd.get(), static_cast<off_t>(file_size)) != 0)
        return -1;
    void *p = ::mmap(nullptr, file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED)
        return -1;
    words_ = static_cast<uint32_t *>(p);
    writable_ = true;
    uint8_t head[8];
    copy_out(0, head, sizeof head);
    if (std::memcmp(head, magic, 4) != 0 || bytes::get_le32(head + 4) != layout_version) {
        // Another layout, or nothing yet: start over with an empty log.
        for (size_t off = 0; off < file_size; off += 4)
            store(off, 0);
        uint8_t v[4];
        bytes::put_le32(v, layout_version);
        store(version_offset, word_of(v));
        store(magic_offset, word_of(magic));
    } else {
        // A writer killed half way left a sequence odd: even it up.
        uint32_t s = load(status_seq_offset);
        store(status_seq_offset, s + (s & 1));
        s = load(log_seq_offset);
        store(log_seq_offset, s + (s & 1));
    }
    return 0;
}

int StatusMap::open_for_reading(const char *path)
{
    close();
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid())
        return -1;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) != file_size)
        return -1;
    void *p = ::mmap(nullptr, file_size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED)
        return -1;
    words_ = static_cast<uint32_t *>(p);
    writable_ = false;
    uint8_t head[8];
    copy_out(0, head, sizeof head);
    if (std::memcmp(head, magic, 4) != 0 || bytes::get_le32(head + 4) != layout_version) {
        close();
        return -1;
    }
    return 0;
}

void StatusMap::copy_out(size_t offset, uint8_t *out, size_t length) const
{
    for (size_t i = 0; i < length; i += 4) {
        uint32_t w = load(offset + i);
        std::memcpy(out + i, &w, 4);
    }
}

void StatusMap::publish(const uint8_t record[record_size])
{
    if (!writable_)
        return;
    const uint32_t s = load(status_seq_offset);
    store(status_seq_offset, s + 1);
    for (size_t i = 0; i < record_size; i += 4)
        store(record_offset + i, word_of(record + i));
    __atomic_store_n(&words_[status_seq_offset / 4], s + 2, __ATOMIC_RELEASE);
}

void StatusMap::append_log(const char *text, size_t length)
{
    if (!writable_ || length == 0)
        return;
    // Only the ring's last lap can be kept.
    if (length > log_ring_size) {
        text += length - log_ring_size;
        length = log_ring_size;
    }
    const uint32_t s = load(log_seq_offset);
    store(log_seq_offset, s + 1);
    uint32_t total = load(log_total_offset);
    // Word by word, each word read, patched and stored: the ring is shared
    // with readers, so no byte is written but through a whole aligned word.
    size_t i = 0;
    while (i < length) {
        const size_t pos = (total + i) % log_ring_size;
        const size_t word = pos & ~size_t(3);
        uint8_t b[4];
        uint32_t w = load(log_ring_offset + word);
        std::memcpy(b, &w, 4);
        for (size_t k = pos - word; k < 4 && i < length; ++k)
            b[k] = static_cast<uint8_t>(text[i++]);
        store(log_ring_offset + word, word_of(b));
    }
    store(log_total_offset, total + static_cast<uint32_t>(length));
    __atomic_store_n(&words_[log_seq_offset / 4], s + 2, __ATOMIC_RELEASE);
}

bool StatusMap::read_record(uint8_t out[record_size]) const
{
    if (words_ == nullptr)
        return false;
    for (int t = 0; t < read_tries; ++t) {
        const uint32_t s1 = __atomic_load_n(&words_[status_seq_offset / 4], __ATOMIC_ACQUIRE);
        if (s1 & 1) {
            ::sched_yield();
            continue;
        }
        copy_out(record_offset, out, record_size);
        if (load(status_seq_offset) == s1)
            return true;
    }
    return false;
}

bool StatusMap::read_log(std::string &text) const
{
    if (words_ == nullptr)
        return false;
    std::vector<uint8_t> ring(log_ring_size);
    for (int t = 0; t < read_tries; ++t) {
        const uint32_t s1 = __atomic_load_n(&words_[log_seq_offset / 4], __ATOMIC_ACQUIRE);
        if (s1 & 1) {
            ::sched_yield();
            continue;
        }
        const uint32_t total = load(log_total_offset);
        copy_out(log_ring_offset, ring.data(), ring.size());
        if (load(log_seq_offset) != s1)
            continue;
        const size_t used = total < log_ring_size ? total : log_ring_size;
        const size_t start = (total - used) % log_ring_size;
        text.clear();
        text.reserve(used);
        for (size_t i = 0; i < used; ++i)
            text.push_back(static_cast<char>(ring[(start + i) % log_ring_size]));
        // A ring that has wrapped starts inside a line.
        if (total > log_ring_size) {
            size_t nl = text.find('\n');
            text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
        }
        return true;
    }
    return false;
}

std::vector<std::string> last_lines(const std::string &text, size_t count)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t nl = text.find('\n', begin);
        if (nl == std::string::npos)
            break; // a line still being written
        lines.emplace_back(text, begin, nl - begin);
        begin = nl + 1;
    }
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
    return lines;
}

} // namespace gw_status
