#include "tools/gatesimd/reflector/rate_converter.h"

#include <speex/speex_resampler.h>

namespace reflector
{

struct RateConverter::State {
    SpeexResamplerState *r;
};

RateConverter::RateConverter(int from_hz, int to_hz, int quality)
{
    int err = 0;
    SpeexResamplerState *r = speex_resampler_init(1, static_cast<spx_uint32_t>(from_hz),
                                                  static_cast<spx_uint32_t>(to_hz), quality, &err);
    if (r != nullptr && err == RESAMPLER_ERR_SUCCESS)
        state_ = new State{r};
    else if (r != nullptr)
        speex_resampler_destroy(r);
}

RateConverter::~RateConverter()
{
    if (state_ != nullptr) {
        speex_resampler_destroy(state_->r);
        delete state_;
    }
}

void RateConverter::process(const int16_t *in, size_t n, std::vector<int16_t> &out)
{
    if (state_ == nullptr)
        return;
    while (n > 0) {
        spx_int16_t buf[1024];
        spx_uint32_t in_len = static_cast<spx_uint32_t>(n > 256 ? 256 : n);
        spx_uint32_t out_len = sizeof buf / sizeof buf[0];
        if (speex_resampler_process_int(state_->r, 0, in, &in_len, buf, &out_len) != RESAMPLER_ERR_SUCCESS ||
            in_len == 0)
            return;
        out.insert(out.end(), buf, buf + out_len);
        in += in_len;
        n -= in_len;
    }
}

void RateConverter::reset()
{
    if (state_ != nullptr)
        speex_resampler_reset_mem(state_->r);
}

int RateConverter::input_latency() const
{
    return state_ != nullptr ? speex_resampler_get_input_latency(state_->r) : 0;
}

} // namespace reflector
