#include "audio/codec_gsm.h"

#include <cstdio>

const uint8_t CodecGsm::kSilenceFrame[kFrameBytes] = {
    0xD8, 0x20, 0xA2, 0xE1, 0x5A, 0x50, 0x00, 0x49, 0x24, 0x92, 0x49, 0x24, 0x50, 0x00, 0x49, 0x24, 0x92,
    0x49, 0x24, 0x50, 0x00, 0x49, 0x24, 0x92, 0x49, 0x24, 0x50, 0x00, 0x49, 0x24, 0x92, 0x49, 0x24};

CodecGsm::CodecGsm(int type, int fastOption, int ltpCutOption) : fast(fastOption), ltpCut(ltpCutOption)
{
    initType = static_cast<InitType>(type);
    initialized = 0;
    if (type != EncoderAndDecoder && type != EncoderOnly && type != DecoderOnly)
        return;
    if (hasEncoder()) {
        encoder = gsm_create();
        if (!encoder)
            return;
        int value = fast;
        gsm_option(encoder, GSM_OPT_FAST, &value);
        value = ltpCut;
        gsm_option(encoder, GSM_OPT_LTP_CUT, &value);
    }
    if (hasDecoder()) {
        decoder = gsm_create();
        if (!decoder) {
            if (encoder)
                gsm_destroy(encoder);
            encoder = nullptr;
            return;
        }
        int value = fast;
        gsm_option(decoder, GSM_OPT_FAST, &value);
    }
    encodedBlockSize = kFrameBytes;
    decodedBlockSize = kFrameSamples;
    sampleRate = 8000;
    sampleSize = 2;
    sampleSign = 1;
    frameRate = 50;
    initialized = 1;
}

CodecGsm::~CodecGsm()
{
    if (encoder)
        gsm_destroy(encoder);
    if (decoder)
        gsm_destroy(decoder);
}

int CodecGsm::encode(uint8_t *out, const int16_t *in)
{
    if (!initialized || !encoder)
        return -1;
    // libgsm only reads the samples; its prototype predates const.
    gsm_encode(encoder, const_cast<gsm_signal *>(in), out);
    return 0;
}

int CodecGsm::decode(int16_t *out, const uint8_t *in)
{
    return decodeFrame(out, in, 0);
}

int CodecGsm::decodeFrame(int16_t *out, const uint8_t *in, int lost)
{
    if (!initialized || !decoder)
        return -1;
    const uint8_t *source = lost ? kSilenceFrame : in;
    // A frame without the GSM signature is refused by libgsm and leaves out
    // unwritten: play it as a lost frame instead of stale samples.
    if (gsm_decode(decoder, const_cast<gsm_byte *>(source), out) != 0)
        gsm_decode(decoder, const_cast<gsm_byte *>(kSilenceFrame), out);
    return 0;
}

void CodecGsm::printInfo()
{
    Codec::printInfo();
    if (!isInitialized())
        return;
    printf("\nGSM_OPT_FAST\t        : %d\n", fast);
    if (hasEncoder())
        printf("GSM_OPT_LTP_CUT         : %d\n", ltpCut);
}
