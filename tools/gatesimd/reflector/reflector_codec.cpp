#include "tools/gatesimd/reflector/reflector_codec.h"

#include "tools/gatesimd/reflector/reflector_gsm.h"
#include "tools/gatesimd/reflector/reflector_opus.h"
#include "tools/gatesimd/reflector/reflector_speex.h"

namespace reflector
{

bool codec_supported(const std::string &name)
{
    return name == "OPUS" || name == "GSM" || name == "SPEEX";
}

std::unique_ptr<ReflectorCodec> make_codec(const std::string &name)
{
    std::unique_ptr<ReflectorCodec> c;
    if (name == "OPUS") {
        auto o = std::make_unique<ReflectorOpus>();
        if (o->ok())
            c = std::move(o);
    } else if (name == "GSM") {
        auto g = std::make_unique<ReflectorGsm>();
        if (g->ok())
            c = std::move(g);
    } else if (name == "SPEEX") {
        auto s = std::make_unique<ReflectorSpeex>();
        if (s->ok())
            c = std::move(s);
    }
    return c;
}

} // namespace reflector
