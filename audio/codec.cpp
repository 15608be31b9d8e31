#include "audio/codec.h"

#include <cstdio>

void Codec::printInfo()
{
    printf("Initialized             : %d\n", isInitialized());
    fputs("Initialization type     : ", stdout);
    switch (initType) {
    case EncoderAndDecoder:
        puts("Encoder and Decoder");
        break;
    case EncoderOnly:
        puts("Encoder only");
        break;
    case DecoderOnly:
        puts("Decoder only");
        break;
    }
    printf("Codec name              : %s\n", getName());
    if (isInitialized()) {
        printf("Decoded block size      : %d\nEncoded block size      : %d\n", getDecodedBlockSize(),
               getEncodedBlockSize());
        printf("Sample Size             : %d\nSample Sign             : %d\n", getSampleSize(),
               getSampleSign());
    }
}
