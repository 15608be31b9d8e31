#include "web/metrics.h"

#include <cstdio>

namespace gwweb
{

namespace
{

void family(std::string &out, const char *name, const char *type, const char *help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string &out, const char *name, const char *labels, uint64_t value)
{
    char line[256];
    std::snprintf(line, sizeof line, "%s%s %llu\n", name, labels, static_cast<unsigned long long>(value));
    out += line;
}

void metric(std::string &out, const char *name, const char *type, const char *help, uint64_t value)
{
    family(out, name, type, help);
    sample(out, name, "", value);
}

} // namespace

std::string metrics_text(const StatusView &s, const WebCounters &web)
{
    std::string out;
    metric(out, "gwlink_gwlinkd_up", "gauge", "Whether gwlinkd is running and writing its status.",
           s.running);
    family(out, "gwlink_web_logins_total", "counter", "Logins to the web interface, by result.");
    sample(out, "gwlink_web_logins_total", "{result=\"ok\"}", web.logins_ok);
    sample(out, "gwlink_web_logins_total", "{result=\"failed\"}", web.logins_failed);
    if (!s.present)
        return out;
    const gw_status::status_record &r = s.record;
    metric(out, "gwlink_link_up", "gauge", "Whether the gateway is logged in to its server.",
           s.running && r.link_state == 3);
    metric(out, "gwlink_link_state", "gauge",
           "Link state: 0 disconnected, 1 connecting, 2 logging in, 3 logged in.", r.link_state);
    metric(out, "gwlink_link_state_seconds", "gauge", "Seconds in the current link state.", r.link_age_s);
    metric(out, "gwlink_logins_total", "counter", "Logins to the server since gwlinkd started.", r.logins);
    metric(out, "gwlink_connect_attempts_total", "counter", "Connection attempts to the server.",
           r.connect_attempts);
    metric(out, "gwlink_reconnects_total", "counter", "Connection attempts after the first.",
           r.connect_attempts > 0 ? r.connect_attempts - 1 : 0);
    metric(out, "gwlink_link_losses_total", "counter", "Logged-in links that ended.", r.link_losses);
    family(out, "gwlink_voice_packets_total", "counter", "Voice packets by direction and fate.");
    sample(out, "gwlink_voice_packets_total", "{direction=\"out\",fate=\"sent\"}", r.tx_packets);
    sample(out, "gwlink_voice_packets_total", "{direction=\"in\",fate=\"received\"}", r.rx_packets);
    sample(out, "gwlink_voice_packets_total", "{direction=\"in\",fate=\"late\"}", r.rx_late);
    sample(out, "gwlink_voice_packets_total", "{direction=\"in\",fate=\"lost\"}", r.rx_lost);
    sample(out, "gwlink_voice_packets_total", "{direction=\"in\",fate=\"dropped\"}", r.rx_dropped);
    metric(out, "gwlink_jitter_depth_packets", "gauge", "Packets waiting in the jitter buffer.",
           r.jitter_depth);
    metric(out, "gwlink_jitter_capacity_packets", "gauge", "Packets the jitter buffer can hold.",
           r.jitter_capacity);
    metric(out, "gwlink_jitter_underruns_total", "counter",
           "Times the jitter buffer ran empty while playing.", r.underruns);
    metric(out, "gwlink_ptt", "gauge", "Whether the gateway transmits voice.", r.ptt != 0);
    metric(out, "gwlink_server_ptt", "gauge", "Whether the server last reported a talker.",
           r.remote_ptt != 0);
    metric(out, "gwlink_squelch", "gauge", "Last squelch value from the server.", r.squelch);
    metric(out, "gwlink_gpio_word", "gauge", "The logical GPIO word last polled.", r.gpio);
    metric(out, "gwlink_amplifier_volume", "gauge", "Loudspeaker amplifier volume (0-63).", r.volume);
    metric(out, "gwlink_amplifier_muted", "gauge", "Whether the amplifier is muted for silence.",
           r.amp_muted);
    return out;
}

} // namespace gwweb
