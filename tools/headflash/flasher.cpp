#include "tools/headflash/flasher.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "base/fd_io.h"
#include "tools/headflash/upg_file.h"

namespace headflash
{

namespace
{

constexpr size_t RECV_BUFFER_SIZE = 1024;
constexpr size_t RECV_CHUNK = 10;
constexpr int EFM_ATTEMPTS = 5;
constexpr std::chrono::milliseconds EFM_RETRY_PAUSE{250};
constexpr std::chrono::seconds RESET_PAUSE{1};

} // namespace

constexpr std::chrono::seconds Flasher::answer_window;

Flasher::Flasher(int port, int file, uint32_t blocks, FlashOptions options, FILE *out)
    : port_(port), file_(file), blocks_(blocks), options_(options), out_(out)
{
}

int Flasher::frame_send(const std::vector<uint8_t> &frame)
{
    if (options_.debug)
        std::fprintf(out_, "frame_send: [%s], r: %d\n", hex_bytes(frame.data(), frame.size()).c_str(),
                     static_cast<int>(frame.size()));
    return write_full(port_, frame.data(), frame.size()) ? 0 : -1;
}

Answer Flasher::frame_recv()
{
    uint8_t buf[RECV_BUFFER_SIZE];
    size_t used = 0;
    long at = -1;
    for (;;) {
        at = find_answer(buf, used);
        if (at >= 0 || used + RECV_CHUNK > sizeof buf)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(window_end_ -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{port_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = ::read(port_, buf + used, RECV_CHUNK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
    }
    const uint8_t *frame = at >= 0 ? buf + at : buf;
    size_t size = at >= 0 ? ANSWER_SIZE : used;
    if (options_.debug)
        std::fprintf(out_, "frame_recv: [%s]\n", hex_bytes(frame, size).c_str());
    if (at < 0)
        return Answer();
    return classify_answer(frame, size);
}

int Flasher::request(const std::vector<uint8_t> &frame, Answer &answer)
{
    window_end_ = std::chrono::steady_clock::now() + answer_window;
    if (frame_send(frame) != 0)
        return -1;
    answer = frame_recv();
    return 0;
}

const char *Flasher::enter_flashing_mode()
{
    for (int attempt = 0; attempt < EFM_ATTEMPTS; attempt++) {
        std::fputs(": entering flashing mode...\n", out_);
        Answer a;
        if (request(request_frame(CMD_EFM_ENTER), a) != 0)
            return "frame_send() failed (EFM)!\n";
        if (a.kind == Answer::OK) {
            std::fputs(": ok\n", out_);
            return nullptr;
        }
        if (attempt + 1 < EFM_ATTEMPTS)
            std::this_thread::sleep_for(EFM_RETRY_PAUSE);
    }
    std::fputs("failed!\n", out_);
    return "failed to enter flashing mode";
}

const char *Flasher::reset()
{
    std::fputs(": resetting...\n", out_);
    Answer a;
    if (request(request_frame(CMD_RST), a) != 0)
        return "frame_send() failed (RST)!\n";
    if (a.kind != Answer::OK)
        return "failed to reset";
    std::fputs(": ok\n", out_);
    return nullptr;
}

bool Flasher::read_block(uint8_t *block)
{
    // The file was checked to hold every block: less now means it changed,
    // and a partial block must never reach the target.
    return read_full(file_, block, BLOCK_SIZE) == static_cast<ssize_t>(BLOCK_SIZE);
}

const char *Flasher::blocks_pass(uint8_t command)
{
    const bool program = command == CMD_PRG;
    uint8_t block[BLOCK_SIZE];
    for (uint32_t i = 0; i < blocks_; i++) {
        if (!read_block(block))
            return "failed to read upg file";
        std::fprintf(out_, program ? ": writing block #%hu\n" : ": verifying block #%hu\n",
                     static_cast<unsigned short>(i));
        Answer a;
        if (request(block_request_frame(command, static_cast<uint16_t>(i), block), a) != 0)
            return program ? "frame_send() failed (PRG)!\n" : "frame_send() failed (VRF)!\n";
        if (a.kind != Answer::OK)
            return program ? "failed to program block" : "failed to verify block";
        std::fputs(": ok\n", out_);
    }
    return nullptr;
}

const char *Flasher::run()
{
    if (const char *e = enter_flashing_mode())
        return e;
    if (const char *e = reset())
        return e;
    std::this_thread::sleep_for(RESET_PAUSE);

    std::fputs(": querying...\n", out_);
    Answer a;
    if (request(request_frame(CMD_RFS), a) != 0)
        return "frame_send() failed (RFS)!\n";
    if (a.kind == Answer::STATUS)
        std::fprintf(out_, ": ok, %s\n", answer_text(a).c_str());
    else
        std::fputs("failed to query state", out_);

    std::fputs(": writing...\n", out_);
    if (const char *e = blocks_pass(CMD_PRG))
        return e;

    if (options_.verify) {
        std::fputs(": verifying...\n", out_);
        if (::lseek(file_, static_cast<off_t>(UPG_HEADER_SIZE), SEEK_SET) !=
            static_cast<off_t>(UPG_HEADER_SIZE))
            return "failed to read upg file";
        if (const char *e = blocks_pass(CMD_VRF))
            return e;
    }

    std::fputs(": leaving flashing mode...\n", out_);
    if (request(request_frame(CMD_EFM_LEAVE), a) != 0)
        return "frame_send() failed (EFM)!\n";
    if (a.kind != Answer::OK)
        return "failed to leave flashing mode";
    std::fputs(": ok\n", out_);

    if (const char *e = reset())
        return e;
    std::fputs(": done\n", out_);
    return nullptr;
}

} // namespace headflash
