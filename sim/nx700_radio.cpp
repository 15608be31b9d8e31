// An NX700 radio at the far end of "/dev/ttyS1" (`--tty1 nx700`): a line at
// 115200 baud carrying frames 'D', length (be16, at most 508), payload; a
// frame that stops for more than 100 ms is broken. Its keys: PTT 44 00 02 1A
// 01/00, volume up 44 00 02 10 01, volume down 44 00 02 11 01. The gateway
// drives its RESET line (GPIO output 0x80) and its 8 V supply (0x100).
//
// The control-socket requests are those of every serial radio
// (sim/serial_radio.h), where "frame" takes the payload and "overlong" a
// length field (default 509, one more than fits), and:
//   "volume", "dir" ("up"|"down"), "count" (1-100, default 1)
//                              that many volume key frames
// "state" adds "volume_keys" (sent so far), "reset_on" and "enable_8v" (the
// gateway's output lines 0x80 and 0x100).
#include "sim/serial_radio.h"

namespace
{

using boardbox::radio::Bytes;

constexpr uint32_t RESET_ON = 0x80;
constexpr uint32_t ENABLE_8V = 0x100;

class Nx700Radio : public boardbox::SerialRadio
{
  public:
    explicit Nx700Radio(boardbox::PeerHost &host)
        : SerialRadio(host, "nx700", 115200, boardbox::radio::make_nx700_splitter())
    {
    }

    void gpio_changed(uint32_t outputs, uint32_t changed) override
    {
        if (changed & RESET_ON)
            host_.log(std::string("RESET line ") + (outputs & RESET_ON ? "high" : "low"));
        if (changed & ENABLE_8V)
            host_.log(std::string("8 V supply ") + (outputs & ENABLE_8V ? "on" : "off"));
    }

  private:
    Bytes ptt_frame(bool pressed) override { return boardbox::radio::nx700_ptt_frame(pressed); }

    bool build_frame(const Bytes &payload, const nlohmann::json &, Bytes &frame, std::string &error) override
    {
        if (payload.size() > boardbox::radio::NX700_MAX_PAYLOAD) {
            error = "an nx700 frame holds at most 508 payload bytes (see \"overlong\")";
            return false;
        }
        frame = boardbox::radio::nx700_frame(payload);
        return true;
    }

    Bytes overlong_frame(size_t length) override { return boardbox::radio::nx700_frame(Bytes(length, 0x55)); }
    size_t default_overlong_length() const override { return boardbox::radio::NX700_MAX_PAYLOAD + 1; }

    bool model_control(const std::string &op, const nlohmann::json &req, nlohmann::json &reply) override
    {
        if (op != "volume")
            return false;
        const std::string dir = req.value("dir", "");
        int count = req.value("count", 1);
        if ((dir != "up" && dir != "down") || count < 1 || count > 100) {
            reply = {{"ok", false}, {"error", "volume needs \"dir\": \"up\" or \"down\" and a count 1-100"}};
            return true;
        }
        Bytes keys;
        for (int i = 0; i < count; i++) {
            Bytes k = boardbox::radio::nx700_volume_frame(dir == "up");
            keys.insert(keys.end(), k.begin(), k.end());
        }
        volume_keys_ += static_cast<unsigned>(count);
        reply = queue(keys, req, "volume " + dir + " x" + std::to_string(count));
        return true;
    }

    void model_state(nlohmann::json &s) override
    {
        uint32_t outs = host_.gpio_outputs();
        s["volume_keys"] = volume_keys_;
        s["reset_on"] = (outs & RESET_ON) != 0;
        s["enable_8v"] = (outs & ENABLE_8V) != 0;
    }

    unsigned volume_keys_ = 0;
};

boardbox::PeerRegistrar registrar("nx700", [](boardbox::PeerHost &host, const std::string &) {
    return std::make_unique<Nx700Radio>(host);
});

} // namespace
