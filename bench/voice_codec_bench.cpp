// Per-frame cost of the codecs and the voice transport pieces, each beside a
// reference in the same run. OpenSSL's hardware AES is switched off before
// OpenSSL starts, so its software AES is the reference.
#include "voice_codec_ops.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace
{

voicebench::Fixture *fixture;

} // namespace

int main(int argc, char **argv)
{
    voicebench::softwareAesOnly(argv);
    static voicebench::Fixture f;
    fixture = &f;
    static std::vector<voicebench::Op> ops = voicebench::makeOps(f);
    for (auto &op : ops) {
        benchmark::RegisterBenchmark(op.name.c_str(), [&op](benchmark::State &state) {
            for (auto _ : state)
                op.run();
        });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
