#include "tools/gatesimd/reflector/reflector_opus.h"

#include <opus.h>

namespace reflector
{

ReflectorOpus::ReflectorOpus()
{
    int err = OPUS_OK;
    enc_ = opus_encoder_create(codec_rate, 1, OPUS_APPLICATION_VOIP, &err);
    if (err != OPUS_OK) {
        enc_ = nullptr;
        return;
    }
    // SvxLink's own settings, except the band: the site's voice is 8 kHz
    // A-law, so nothing above 4 kHz is there to code.
    opus_encoder_ctl(enc_, OPUS_SET_BITRATE(20000));
    opus_encoder_ctl(enc_, OPUS_SET_VBR(1));
    opus_encoder_ctl(enc_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    opus_encoder_ctl(enc_, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND));
    opus_encoder_ctl(enc_, OPUS_SET_DTX(0));
    opus_encoder_ctl(enc_, OPUS_SET_LSB_DEPTH(16));
    dec_ = opus_decoder_create(codec_rate, 1, &err);
    if (err != OPUS_OK)
        dec_ = nullptr;
}

ReflectorOpus::~ReflectorOpus()
{
    if (enc_ != nullptr)
        opus_encoder_destroy(enc_);
    if (dec_ != nullptr)
        opus_decoder_destroy(dec_);
}

bool ReflectorOpus::encode(const int16_t *pcm, std::vector<uint8_t> &packet)
{
    unsigned char out[1275];
    opus_int32 n = opus_encode(enc_, pcm, codec_frame, out, sizeof out);
    if (n <= 0)
        return false;
    packet.assign(out, out + n);
    return true;
}

bool ReflectorOpus::decode(const uint8_t *data, size_t size, std::vector<int16_t> &pcm)
{
    if (size == 0)
        return false;
    // Checked before decoding: a packet of more than 120 ms, or one in
    // stereo, is no stream this side takes.
    int samples = opus_packet_get_nb_samples(data, static_cast<opus_int32>(size), codec_rate);
    if (samples <= 0 || samples > max_packet_samples || opus_packet_get_nb_channels(data) != 1)
        return false;
    opus_int16 out[max_packet_samples];
    int n = opus_decode(dec_, data, static_cast<opus_int32>(size), out, max_packet_samples, 0);
    if (n <= 0)
        return false;
    pcm.insert(pcm.end(), out, out + n);
    return true;
}

void ReflectorOpus::end_of_stream()
{
    opus_decoder_ctl(dec_, OPUS_RESET_STATE);
}

} // namespace reflector
