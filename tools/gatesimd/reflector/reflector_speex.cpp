#include "tools/gatesimd/reflector/reflector_speex.h"

#include <cstring>

namespace reflector
{

ReflectorSpeex::ReflectorSpeex()
{
    enc_ = speex_encoder_init(&speex_wb_mode);
    dec_ = speex_decoder_init(&speex_wb_mode);
    if (enc_ != nullptr)
        speex_encoder_ctl(enc_, SPEEX_GET_FRAME_SIZE, &frame_);
    speex_bits_init(&enc_bits_);
    speex_bits_init(&dec_bits_);
}

ReflectorSpeex::~ReflectorSpeex()
{
    if (enc_ != nullptr)
        speex_encoder_destroy(enc_);
    if (dec_ != nullptr)
        speex_decoder_destroy(dec_);
    speex_bits_destroy(&enc_bits_);
    speex_bits_destroy(&dec_bits_);
}

bool ReflectorSpeex::encode(const int16_t *pcm, std::vector<uint8_t> &packet)
{
    spx_int16_t in[codec_frame];
    std::memcpy(in, pcm, sizeof in);
    speex_bits_reset(&enc_bits_);
    speex_encode_int(enc_, in, &enc_bits_);
    speex_bits_insert_terminator(&enc_bits_);
    char out[512];
    int n = speex_bits_write(&enc_bits_, out, sizeof out);
    if (n <= 0)
        return false;
    packet.assign(out, out + n);
    return true;
}

bool ReflectorSpeex::decode(const uint8_t *data, size_t size, std::vector<int16_t> &pcm)
{
    if (size == 0 || size > 2000)
        return false;
    std::vector<char> copy(data, data + size); // the library's reader takes a mutable buffer
    speex_bits_read_from(&dec_bits_, copy.data(), static_cast<int>(size));
    size_t before = pcm.size();
    spx_int16_t out[codec_frame];
    for (int i = 0; i < max_frames_per_packet; i++) {
        if (speex_bits_remaining(&dec_bits_) < 5 || speex_decode_int(dec_, &dec_bits_, out) != 0)
            break;
        pcm.insert(pcm.end(), out, out + codec_frame);
    }
    return pcm.size() > before;
}

void ReflectorSpeex::end_of_stream()
{
    speex_decoder_ctl(dec_, SPEEX_RESET_STATE, nullptr);
}

} // namespace reflector
