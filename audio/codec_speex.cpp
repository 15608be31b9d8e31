#include "audio/codec_speex.h"

#include <cstdio>
#include <cstring>

namespace
{

int ctlGet(void *state, bool isEncoder, int request)
{
    int value = 0;
    if (isEncoder)
        speex_encoder_ctl(state, request, &value);
    else
        speex_decoder_ctl(state, request, &value);
    return value;
}

} // namespace

int CodecSpeex::blockSizeForBitRate(int bitRate)
{
    if (bitRate <= 0)
        return 0;
    // Single precision, as the rest of the system computes it.
    const float bytes = 160.0f / (64000.0f / static_cast<float>(bitRate));
    if (!(bytes < 1.0e9f))
        return 0;
    int size = static_cast<int>(bytes);
    if (bytes > static_cast<float>(size))
        ++size;
    return size;
}

CodecSpeex::CodecSpeex(int type, int bitRate, int enhancement, int complexity)
{
    initType = static_cast<InitType>(type);
    initialized = 0;
    if (type != EncoderAndDecoder && type != EncoderOnly && type != DecoderOnly)
        return;
    if (hasEncoder()) {
        speex_bits_init(&encoderBits);
        encoder = speex_encoder_init(&speex_nb_mode);
        if (!encoder) {
            speex_bits_destroy(&encoderBits);
            return;
        }
        int value = bitRate;
        speex_encoder_ctl(encoder, SPEEX_SET_BITRATE, &value);
        if (complexity >= 1 && complexity <= 10) {
            value = complexity;
            speex_encoder_ctl(encoder, SPEEX_SET_COMPLEXITY, &value);
        }
        speex_bits_reset(&encoderBits);
    }
    if (hasDecoder()) {
        speex_bits_init(&decoderBits);
        decoder = speex_decoder_init(&speex_nb_mode);
        if (!decoder) {
            speex_bits_destroy(&decoderBits);
            release();
            return;
        }
        int value = enhancement ? 1 : 0;
        speex_decoder_ctl(decoder, SPEEX_SET_ENH, &value);
        speex_bits_reset(&decoderBits);
    }
    const bool askDecoder = initType == DecoderOnly;
    const int frameSize = askDecoder ? ctlGet(decoder, false, SPEEX_GET_FRAME_SIZE)
                                     : ctlGet(encoder, true, SPEEX_GET_FRAME_SIZE);
    const int effectiveRate = askDecoder ? bitRate : ctlGet(encoder, true, SPEEX_GET_BITRATE);
    const int blockSize = blockSizeForBitRate(effectiveRate);
    // A frame of no bytes (a rate of 0 or below) or one that does not fit the
    // encoding scratch cannot carry voice.
    if (blockSize < 1 || frameSize < 1 || frameSize > static_cast<int>(sizeof scratch / sizeof scratch[0])) {
        release();
        return;
    }
    decodedBlockSize = frameSize;
    encodedBlockSize = blockSize;
    sampleRate = 8000;
    sampleSize = 2;
    sampleSign = 1;
    frameRate = 50;
    initialized = 1;
}

void CodecSpeex::release()
{
    if (encoder) {
        speex_encoder_destroy(encoder);
        speex_bits_destroy(&encoderBits);
        encoder = nullptr;
    }
    if (decoder) {
        speex_decoder_destroy(decoder);
        speex_bits_destroy(&decoderBits);
        decoder = nullptr;
    }
}

CodecSpeex::~CodecSpeex()
{
    release();
}

int CodecSpeex::encode(uint8_t *out, const int16_t *in)
{
    if (!initialized || !encoder)
        return -1;
    memcpy(scratch, in, static_cast<size_t>(decodedBlockSize) * sizeof scratch[0]);
    speex_bits_reset(&encoderBits);
    speex_encode_int(encoder, scratch, &encoderBits);
    speex_bits_write(&encoderBits, reinterpret_cast<char *>(out), encodedBlockSize);
    return 0;
}

int CodecSpeex::decode(int16_t *out, const uint8_t *in)
{
    return decodeFrame(out, in, 0);
}

int CodecSpeex::decodeFrame(int16_t *out, const uint8_t *in, int lost)
{
    if (!initialized || !decoder)
        return -1;
    if (lost) {
        // The library's own concealment.
        speex_decode_int(decoder, nullptr, out);
        return 0;
    }
    speex_bits_read_from(&decoderBits, reinterpret_cast<const char *>(in), encodedBlockSize);
    // A corrupt frame leaves out unwritten: it plays as silence rather than
    // whatever the buffer held before.
    if (speex_decode_int(decoder, &decoderBits, out) != 0)
        memset(out, 0, static_cast<size_t>(decodedBlockSize) * sizeof *out);
    return 0;
}

int CodecSpeex::resetEncoder()
{
    if (!initialized || !encoder)
        return -1;
    int one = 1;
    speex_encoder_ctl(encoder, SPEEX_RESET_STATE, &one);
    return 0;
}

int CodecSpeex::resetDecoder()
{
    if (!initialized || !decoder)
        return -1;
    int one = 1;
    speex_decoder_ctl(decoder, SPEEX_RESET_STATE, &one);
    return 0;
}

void CodecSpeex::printInfo()
{
    Codec::printInfo();
    if (!isInitialized())
        return;
    const bool askDecoder = initType == DecoderOnly;
    void *state = askDecoder ? decoder : encoder;
    printf("\nBitrate                 : %d\n", ctlGet(state, !askDecoder, SPEEX_GET_BITRATE));
    printf("Sampling rate           : %d\n", ctlGet(state, !askDecoder, SPEEX_GET_SAMPLING_RATE));
    if (hasEncoder()) {
        printf("Complexity              : %d\n", ctlGet(encoder, true, SPEEX_GET_COMPLEXITY));
        printf("VBR                     : %d\n", ctlGet(encoder, true, SPEEX_GET_VBR));
        printf("ABR                     : %d\n", ctlGet(encoder, true, SPEEX_GET_ABR));
        printf("VAD                     : %d\n", ctlGet(encoder, true, SPEEX_GET_VAD));
        printf("DTX                     : %d\n", ctlGet(encoder, true, SPEEX_GET_DTX));
    }
    if (hasDecoder())
        printf("ENH                     : %d\n", ctlGet(decoder, false, SPEEX_GET_ENH));
}
