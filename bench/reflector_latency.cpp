// The latency the reflector link adds to a site's voice. Runs on the host
// and starts the boxes of one isolated site network: svxreflector; site A
// (gatesimd joined as SITEA, gateway A1) and a second gateway A2 of the same
// site in a box of its own; site B (gatesimd joined as SITEB, gateway B).
// A1 stays keyed while its microphone switches from silence to a tone; the
// boxes of A2 and B time, sample by sample, when the tone's first loud sample
// leaves their loudspeaker port. A2's figure is the site's own path, B's the
// same path through the reflector; their difference, per tone, is what the
// bridges and the reflector add.
//
//     reflector_latency [TONES]    (default 50)
#include "tests/system/reflector_site.h"
#include "tools/gatesimd/reflector/rate_converter.h"
#include "tools/gatesimd/reflector/reflector_codec.h"

#include <algorithm>
#include <opus.h>

using namespace refsite;

namespace
{

constexpr ms kUp{60000};
constexpr int kThreshold = 2000;

struct Stats {
    std::vector<double> v;
    double pct(double p) const
    {
        if (v.empty())
            return -1;
        std::vector<double> s = v;
        std::sort(s.begin(), s.end());
        size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(s.size() - 1) + 0.5);
        return s[std::min(i, s.size() - 1)];
    }
};

void row(const char *what, const Stats &s)
{
    std::printf("| %-52s | %5zu | %8.2f | %8.2f |\n", what, s.v.size(), s.pct(50), s.pct(99));
}

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int fail(const char *why, Site &s)
{
    std::fprintf(stderr, "reflector_latency: %s\n%s", why, s.box().output().c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const int tones = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    if (::access(svxreflector, X_OK) != 0) {
        std::fprintf(stderr, "reflector_latency: %s is missing: run scripts/setup\n", svxreflector);
        return 2;
    }
    Dir dir;
    const std::string net = "rfl" + std::to_string(::getpid());
    Site a(dir, {net, "172.16.0.189", "SITEA", key, "127.0.0.1", "silence"});
    Site a2(dir, {net, "172.16.0.188", "", key, "172.16.0.189", "silence"});
    Site b(dir, {net, "172.16.0.190", "SITEB", key, "127.0.0.1", "silence"});
    Reflector reflector(dir, net, {"SITEA", "SITEB"});
    if (a.start() != 0 || !a.box().wait_for_line("gatesimd: serving on", kUp))
        return fail("site A did not start", a);
    if (reflector.start() != 0 || b.start() != 0 || a2.start() != 0)
        return fail("a box did not start", b);
    for (Site *s : {&a, &b})
        if (!s->logged_in(1, kUp))
            return fail("a site did not join the reflector", *s);
    for (Site *s : {&a, &a2, &b})
        if (!s->gateway_up(kUp))
            return fail("a gateway did not log in", *s);

    StatusEvents status({&a, &b});
    a.ptt(true);
    if (!b.box().wait_for_line("gatesimd: reflector: SITEA talks to the site", kUp))
        return fail("site B does not hear site A", b);
    Stats one_site, through, added;
    for (int i = 0; i < tones; i++) {
        a.control().set_capture("silence");
        // Both loudspeakers quiet again before the markers are armed.
        bool quiet = wait_until(
            [&] {
                boardbox::AudioLevels l2, lb;
                return a2.control().audio_levels(l2) == 0 && b.control().audio_levels(lb) == 0 &&
                       l2.playback_dbfs < -40 && lb.playback_dbfs < -40;
            },
            ms(5000));
        if (!quiet)
            return fail("the loudspeakers do not fall quiet", b);
        if (a2.control().arm_playback_marker(kThreshold) != 0 ||
            b.control().arm_playback_marker(kThreshold) != 0)
            return fail("a box does not watch its playback", b);
        const int64_t t0 = now_ns();
        a.control().set_capture("tone:1000");
        boardbox::PlaybackMarker m2, mb;
        auto deadline = Clock::now() + ms(5000);
        while (Clock::now() < deadline && (!m2.seen || !mb.seen)) {
            std::this_thread::sleep_for(ms(5));
            if (!m2.seen)
                a2.control().playback_marker(m2);
            if (!mb.seen)
                b.control().playback_marker(mb);
        }
        if (!m2.seen || !mb.seen)
            return fail("the tone did not reach both loudspeakers", m2.seen ? b : a2);
        one_site.v.push_back((m2.sample_ns - t0) / 1e6);
        through.v.push_back((mb.sample_ns - t0) / 1e6);
        added.v.push_back((mb.sample_ns - m2.sample_ns) / 1e6);
    }
    a.ptt(false);

    // The design's share: the filters' and the codec's own delays.
    reflector::RateConverter up(8000, reflector::codec_rate), down(reflector::codec_rate, 8000);
    int err = 0;
    OpusEncoder *enc = opus_encoder_create(reflector::codec_rate, 1, OPUS_APPLICATION_VOIP, &err);
    opus_int32 lookahead = 0;
    if (enc != nullptr) {
        opus_encoder_ctl(enc, OPUS_GET_LOOKAHEAD(&lookahead));
        opus_encoder_destroy(enc);
    }
    double filters_ms = up.input_latency() / 8.0 + down.input_latency() / 16.0;
    double codec_ms = lookahead * 1000.0 / reflector::codec_rate;

    std::printf("| %-52s | %5s | %8s | %8s |\n", "reflector bridge latency (ms)", "n", "p50", "p99");
    std::printf("|------------------------------------------------------|-------|----------|----------|\n");
    row("mic A1 -> loudspeaker A2 (one site)", one_site);
    row("mic A1 -> loudspeaker B (site A -> reflector -> B)", through);
    row("added by the bridges and the reflector (B - A2)", added);
    std::printf("(the added figure is taken per tone; the design's share of it: resampling %.2f ms\n"
                " (8 -> 16 and 16 -> 8 kHz) and Opus's look-ahead %.2f ms; goal: added p99 <= 60 ms)\n",
                filters_ms, codec_ms);
    return 0;
}
