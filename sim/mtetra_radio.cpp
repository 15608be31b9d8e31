// An MTETRA radio at the far end of "/dev/ttyS1" (`--tty1 mtetra`): a line at
// 460800 baud carrying frames that begin and end with FF. Its PTT key report
// is a 14-byte frame (byte 1 0x2?, bytes 2-3 14 04, byte 4 the key, byte 10
// 0x20). The control-socket requests are those of every serial radio
// (sim/serial_radio.h); "frame" takes the body between the two FF bytes, and
// "overlong" a body length (default 1023, one byte more than fits).
#include "sim/serial_radio.h"

#include <algorithm>

namespace
{

using boardbox::radio::Bytes;

class MtetraRadio : public boardbox::SerialRadio
{
  public:
    explicit MtetraRadio(boardbox::PeerHost &host)
        : SerialRadio(host, "mtetra", 460800, boardbox::radio::make_mtetra_splitter())
    {
    }

  private:
    Bytes ptt_frame(bool pressed) override { return boardbox::radio::mtetra_ptt_frame(pressed); }

    bool build_frame(const Bytes &body, const nlohmann::json &, Bytes &frame, std::string &error) override
    {
        if (std::find(body.begin(), body.end(), boardbox::radio::MTETRA_FLAG) != body.end()) {
            error = "an mtetra frame body cannot hold FF";
            return false;
        }
        if (body.size() + 2 > boardbox::radio::MTETRA_MAX_FRAME) {
            error = "an mtetra frame holds at most 1022 body bytes (see \"overlong\")";
            return false;
        }
        frame = boardbox::radio::mtetra_frame(body);
        return true;
    }

    Bytes overlong_frame(size_t length) override
    {
        return boardbox::radio::mtetra_frame(Bytes(length, 0x55));
    }
    size_t default_overlong_length() const override { return boardbox::radio::MTETRA_MAX_FRAME - 1; }
};

boardbox::PeerRegistrar registrar("mtetra", [](boardbox::PeerHost &host, const std::string &) {
    return std::make_unique<MtetraRadio>(host);
});

} // namespace
