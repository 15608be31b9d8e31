// The reflector's TCP stream as the node takes it apart: the frame reader on
// the stream in chunks (the input's first byte sets their size; the limit
// rises after the first frame, as after a login), and every frame's message,
// whatever its type. What decodes must build again into the same message.
#include "tools/gatesimd/reflector/reflector_frame.h"
#include "tools/gatesimd/reflector/reflector_msg.h"

#include <cstdint>
#include <vector>

namespace
{

void check(const std::vector<uint8_t> &frame)
{
    reflector::Message m;
    if (!reflector::decode_message(frame.data(), frame.size(), m))
        return;
    if (m.text.size() > frame.size() || m.bytes.size() > frame.size() || m.nodes.size() > frame.size() / 2 ||
        m.codecs.size() > frame.size() / 2)
        __builtin_trap();
    std::vector<uint8_t> again;
    switch (m.type) {
    case reflector::msg_server_info:
        again = reflector::build_server_info(m.client_id, m.nodes, m.codecs);
        break;
    case reflector::msg_node_list:
        again = reflector::build_node_list(m.nodes);
        break;
    case reflector::msg_error:
        again = reflector::build_error(m.text);
        break;
    case reflector::msg_talker_start:
    case reflector::msg_talker_stop:
    case reflector::msg_node_joined:
    case reflector::msg_node_left:
        again = reflector::build_callsign_msg(m.type, m.text);
        break;
    default:
        return;
    }
    reflector::Message back;
    if (!reflector::decode_message(again.data() + 4, again.size() - 4, back) || back.text != m.text ||
        back.nodes != m.nodes || back.codecs != m.codecs || back.client_id != m.client_id)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t chunk = 1 + data[0] % 64;
    reflector::FrameReader reader(reflector::max_frame_before_login);
    std::vector<uint8_t> frame;
    for (size_t pos = 1; pos < size; pos += chunk) {
        reader.feed(data + pos, pos + chunk <= size ? chunk : size - pos);
        reflector::FrameReader::Result r;
        while ((r = reader.next(frame)) == reflector::FrameReader::frame) {
            if (frame.size() > reader.limit())
                __builtin_trap();
            check(frame);
            reader.set_limit(reflector::max_frame_after_login);
        }
        if (r == reflector::FrameReader::too_long && reader.announced() <= reader.limit())
            __builtin_trap();
    }
    check(std::vector<uint8_t>(data, data + size));
    return 0;
}
