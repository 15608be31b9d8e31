// An NX5xxx radio at the far end of "/dev/ttyS1" (`--tty1 nx5`): a line at
// 230400 baud carrying frames FF, id, AB AB, length (le16), two bytes, payload
// and a 16-bit word-sum checksum (sim/radio_framing.h). Its PTT key report is
// a 28-byte frame (payload 01 70 ... byte 22 0x27, byte 23 the key). The
// control-socket requests are those of every serial radio
// (sim/serial_radio.h); "frame" and "bad_checksum" take the payload and
// optionally "id" (byte 1, 0-254, default 1) and "extra" (bytes 6-7, 0-65535,
// default 0); "overlong" a length field (default 1014, one more than fits).
#include "sim/serial_radio.h"

namespace
{

using boardbox::radio::Bytes;

class Nx5Radio : public boardbox::SerialRadio
{
  public:
    explicit Nx5Radio(boardbox::PeerHost &host)
        : SerialRadio(host, "nx5", 230400, boardbox::radio::make_nx5_splitter())
    {
    }

  private:
    Bytes ptt_frame(bool pressed) override { return boardbox::radio::nx5_ptt_frame(pressed); }

    bool build_frame(const Bytes &payload, const nlohmann::json &req, Bytes &frame,
                     std::string &error) override
    {
        int id = req.value("id", 1), extra = req.value("extra", 0);
        if (id < 0 || id > 254 || extra < 0 || extra > 0xFFFF) {
            error = "id must be 0-254 and extra 0-65535";
            return false;
        }
        if (payload.size() > boardbox::radio::NX5_MAX_PAYLOAD) {
            error = "an nx5 frame holds at most 1013 payload bytes (see \"overlong\")";
            return false;
        }
        frame = boardbox::radio::nx5_frame(payload, static_cast<uint8_t>(id), static_cast<uint16_t>(extra));
        return true;
    }

    bool bad_checksum_frame(const Bytes &payload, Bytes &frame, std::string &error) override
    {
        if (!build_frame(payload, nlohmann::json::object(), frame, error))
            return false;
        frame[frame.size() - 2]++; // the checksum's low byte, so the sum is one off
        return true;
    }

    Bytes overlong_frame(size_t length) override { return boardbox::radio::nx5_frame(Bytes(length, 0x55)); }
    size_t default_overlong_length() const override { return boardbox::radio::NX5_MAX_PAYLOAD + 1; }
};

boardbox::PeerRegistrar registrar("nx5", [](boardbox::PeerHost &host, const std::string &) {
    return std::make_unique<Nx5Radio>(host);
});

} // namespace
