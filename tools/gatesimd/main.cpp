// gatesimd: a reference host program for libgatesim. It stands in for the
// server at the radio's site: logs gateways in from a users file, prints
// logins and PTT, handles the talker's voice, and raises asynchronous events
// typed on standard input or sent to its control socket.
#include "base/byteorder.h"
#include "gatesim/libgatesim.h"
#include "tools/gatesimd/commands.h"
#include "tools/gatesimd/control_socket.h"
#include "tools/gatesimd/dm3000.h"
#include "tools/gatesimd/proto_option.h"
#include "tools/gatesimd/reflector/reflector_bridge.h"
#include "tools/gatesimd/users.h"
#include "tools/gatesimd/voice.h"
#include "tools/gatesimd/xml_commands.h"
#include "tools/gatesimd/xml_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace
{

const char usage[] =
    "usage: gatesimd [--bind ADDR] [--port N] [--rtp-port N] [--max-clients N] [--users FILE]\n"
    "                [--voice loop|record:FILE.wav|play:FILE.wav|tone:HZ] [--record FILE.wav]\n"
    "                [--control SOCKET] [--debug]\n"
    "                [--dm-display FILE.pbm] [--dm-channel NAME]\n"
    "                [--xml-port N] [--radio-name NAME] [--proto MAJOR.MINOR]\n"
    "                [--reflector HOST[:PORT] --reflector-node NAME --reflector-key KEY\n"
    "                 [--talkgroup N]]\n"
    "\n"
    "Plays the server's end of the gateways' binary and XML protocols as one site and\n"
    "relays their voice.\n"
    "\n"
    "  --bind ADDR        address to serve on (default 0.0.0.0)\n"
    "  --port N           TCP port of the control protocol (default 5555)\n"
    "  --rtp-port N       UDP port of the voice relay (default 5004; 0 = no voice)\n"
    "  --xml-port N       TCP port of the XML gateways (default 5556; 0 = none)\n"
    "  --radio-name NAME  the site's radio, login_roip in SetPttEv (default site-radio)\n"
    "  --max-clients N    gateways served at once on each port (default 64)\n"
    "  --users FILE       one user a line: NAME PASSWORD LEVEL CODEC [DEVNAME [rckd]], codec\n"
    "                     alaw, gsm or speex; level 1 or more may key and control, 0 may\n"
    "                     only listen; DEVNAME is the device name a gateway is told at\n"
    "                     login (XML gateways: default the user name), rckd tells XML\n"
    "                     gateways to encrypt their voice; '#' starts a comment line.\n"
    "                     Without it: user / qzv, level 1, alaw (the gateway's factory\n"
    "                     credentials)\n"
    "  --voice MODE       the talker's voice and what the gateways hear (A-law, 50 packets/s):\n"
    "                       loop            send the talker's voice back to the talker\n"
    "                       record:FILE.wav write the talker's voice to FILE (8000 Hz mono)\n"
    "                       play:FILE.wav   play FILE in a loop to the gateways (to the\n"
    "                                       talker while one talks, else to all)\n"
    "                       tone:HZ         play a sine tone the same way\n"
    "                     without it the talker's voice is only relayed to the other gateways\n"
    "  --record FILE.wav  also write the talker's voice to FILE, with any --voice mode\n"
    "  --control SOCKET   also take commands on this Unix socket (one reply per line)\n"
    "  --proto MAJOR.MINOR  protocol version announced (default 1.5; from 1.6 on the\n"
    "                     gateways upload their blocked lists, which are printed)\n"
    "  --debug            the library's debug lines (\"gatesim: ...\") and every XML\n"
    "                     document in and out\n"
    "  --dm-display FILE  answer DM3000 display requests with this 132 x 32 PBM picture\n"
    "                     instead of the site screen (channel, clock, last key)\n"
    "  --dm-channel NAME  the channel name on the site screen (default \"SITE 1\")\n"
    "  --reflector HOST[:PORT]  join an SvxReflector (protocol 1.0, as SvxLink 19.09;\n"
    "                     port 5300 by default) as a node: the site's talker goes to the\n"
    "                     reflector and its talker to every gateway of the site\n"
    "  --reflector-node NAME  the node's callsign on the reflector\n"
    "  --reflector-key KEY    the node's key (the reflector's PASSWORDS entry)\n"
    "  --talkgroup N      the talk group's number, shown by state (a 1.0 reflector is\n"
    "                     one conference and carries no numbers)\n"
    "  --help             this text\n"
    "\n"
    "Logins, PTT and requests are printed on standard output as \"gatesimd: ...\" lines.\n"
    "Run it only where its network is isolated (a boardbox) or on a real site network.\n"
    "\n";

struct Options {
    std::string bind = "0.0.0.0";
    int port = 5555;
    int rtp_port = 5004;
    int max_clients = 64;
    std::string users;
    std::string voice;
    std::string record;
    std::string control;
    ProtoVersion proto;
    bool debug = false;
    std::string dm_display;
    std::string dm_channel = "SITE 1";
    int xml_port = 5556;
    std::string radio_name = "site-radio";
    std::string reflector; // HOST[:PORT]
    std::string reflector_node;
    std::string reflector_key;
    int talkgroup = -1;
};

bool parse_port(const char *s, int min, int &out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno != 0 || *s == '\0' || *end != '\0' || v < min || v > 65535)
        return false;
    out = static_cast<int>(v);
    return true;
}

// HOST or HOST:PORT.
bool parse_reflector(const std::string &text, std::string &host, int &port)
{
    size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    port = 5300;
    if (host.empty())
        return false;
    if (colon == std::string::npos)
        return true;
    return parse_port(text.c_str() + colon + 1, 1, port);
}

int fail(const std::string &msg)
{
    std::fprintf(stderr, "gatesimd: %s\n", msg.c_str());
    return 1;
}

std::string hex(const unsigned char *p, int n)
{
    std::string s;
    char b[4];
    for (int i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options o;
    static const option long_opts[] = {{"bind", required_argument, nullptr, 'b'},
                                       {"port", required_argument, nullptr, 'p'},
                                       {"rtp-port", required_argument, nullptr, 'r'},
                                       {"max-clients", required_argument, nullptr, 'm'},
                                       {"users", required_argument, nullptr, 'u'},
                                       {"voice", required_argument, nullptr, 'v'},
                                       {"record", required_argument, nullptr, 'W'},
                                       {"control", required_argument, nullptr, 'c'},
                                       {"debug", no_argument, nullptr, 'd'},
                                       {"dm-display", required_argument, nullptr, 'D'},
                                       {"dm-channel", required_argument, nullptr, 'C'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {"xml-port", required_argument, nullptr, 'x'},
                                       {"radio-name", required_argument, nullptr, 'n'},
                                       {"proto", required_argument, nullptr, 'P'},
                                       {"reflector", required_argument, nullptr, 'R'},
                                       {"reflector-node", required_argument, nullptr, 'N'},
                                       {"reflector-key", required_argument, nullptr, 'K'},
                                       {"talkgroup", required_argument, nullptr, 'T'},
                                       {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", long_opts, nullptr)) != -1) {
        switch (opt) {
        case 'b':
            o.bind = optarg;
            break;
        case 'p':
            if (!parse_port(optarg, 1, o.port))
                return fail(std::string("bad --port: ") + optarg);
            break;
        case 'r':
            if (!parse_port(optarg, 0, o.rtp_port))
                return fail(std::string("bad --rtp-port: ") + optarg);
            break;
        case 'm': {
            int n;
            if (!parse_port(optarg, 1, n))
                return fail(std::string("bad --max-clients: ") + optarg);
            o.max_clients = n;
            break;
        }
        case 'u':
            o.users = optarg;
            break;
        case 'v':
            o.voice = optarg;
            break;
        case 'W':
            o.record = optarg;
            break;
        case 'c':
            o.control = optarg;
            break;
        case 'd':
            o.debug = true;
            break;
        case 'D':
            o.dm_display = optarg;
            break;
        case 'C':
            o.dm_channel = optarg;
            break;
        case 'x':
            if (!parse_port(optarg, 0, o.xml_port))
                return fail(std::string("bad --xml-port: ") + optarg);
            break;
        case 'n':
            o.radio_name = optarg;
            if (o.radio_name.empty())
                return fail("--radio-name must not be empty");
            break;
        case 'P':
            if (!parse_proto_version(optarg, o.proto))
                return fail(std::string("bad --proto: ") + optarg);
            break;
        case 'R':
            o.reflector = optarg;
            break;
        case 'N':
            o.reflector_node = optarg;
            break;
        case 'K':
            o.reflector_key = optarg;
            break;
        case 'T': {
            char *end = nullptr;
            errno = 0;
            long v = std::strtol(optarg, &end, 10);
            if (errno != 0 || *optarg == '\0' || *end != '\0' || v < 0 || v > INT32_MAX)
                return fail(std::string("bad --talkgroup: ") + optarg);
            o.talkgroup = static_cast<int>(v);
            break;
        }
        case 'h':
            std::fputs(usage, stdout);
            std::fputs(CommandInterpreter::help_text(), stdout);
            std::fputs(dm3000::Site::help_text(), stdout);
            std::fputs(XmlCommands::help_text(), stdout);
            return 0;
        default:
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (optind < argc)
        return fail(std::string("unexpected argument: ") + argv[optind]);
    in_addr probe{};
    if (inet_pton(AF_INET, o.bind.c_str(), &probe) != 1)
        return fail("bad --bind address: " + o.bind);

    UserTable users = UserTable::defaults();
    std::string error;
    if (!o.users.empty() && !UserTable::load(o.users, users, error))
        return fail(error);
    VoiceConfig voice_cfg;
    if (!o.voice.empty() && !parse_voice(o.voice, voice_cfg, error))
        return fail(error);
    voice_cfg.also_record = o.record;
    if ((voice_cfg.kind != VoiceConfig::none || !o.record.empty()) && o.rtp_port == 0)
        return fail("--voice and --record need an RTP port");
    reflector::BridgeConfig bridge_cfg;
    if (!o.reflector.empty()) {
        if (!parse_reflector(o.reflector, bridge_cfg.link.host, bridge_cfg.link.port))
            return fail("bad --reflector: " + o.reflector + " (HOST or HOST:PORT)");
        if (o.reflector_node.empty() || o.reflector_key.empty())
            return fail("--reflector needs --reflector-node and --reflector-key");
        if (o.rtp_port == 0)
            return fail("--reflector needs an RTP port");
        bridge_cfg.link.callsign = o.reflector_node;
        bridge_cfg.link.key = o.reflector_key;
        bridge_cfg.talkgroup = o.talkgroup;
        bridge_cfg.relay_address = o.bind == "0.0.0.0" ? "127.0.0.1" : o.bind;
        bridge_cfg.relay_port = o.rtp_port;
    } else if (!o.reflector_node.empty() || !o.reflector_key.empty() || o.talkgroup >= 0) {
        return fail("--reflector-node, --reflector-key and --talkgroup need --reflector");
    }

    // Signals are taken through a descriptor; the library's threads inherit
    // the blocked mask and never see them.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int sigfd = signalfd(-1, &sigs, SFD_CLOEXEC);
    if (sigfd < 0)
        return fail("signalfd failed");

    std::shared_ptr<libgatesim> sim = libgatesim::create();
    sim->set_dbg(o.debug);
    VoiceEngine voice(*sim, voice_cfg);
    dm3000::Site dm(*sim, o.dm_channel);
    if (!o.dm_display.empty() && !dm.load_fixed(o.dm_display, error))
        return fail(error);
    sim->set_cb_dm3000_req([&dm](unsigned req, const unsigned char *payload, int len) {
        return dm.on_request(req, payload, len);
    });

    sim->set_cb_info_ver([&o](libgatesim::s_info_ver &v) {
        v.proto_major = o.proto.major;
        v.proto_minor = o.proto.minor;
        v.config_major = 1;
        v.config_minor = 0;
        v.fw_major = 2;
        v.fw_minor = 30;
        v.build = 1;
        return 0;
    });
    sim->set_cb_login_req([&users](libgatesim::s_login_req &r, const std::string &user,
                                   const std::string &password, const std::string &peer) {
        const GatesimUser *u = users.find(user, password);
        if (u == nullptr) {
            std::printf("gatesimd: login [%s] from %s: refused\n", user.c_str(), peer.c_str());
            return 1;
        }
        r.priv_level = u->level;
        r.codec_type = u->codec;
        r.rtype0 = 0;
        r.rtype1 = 0;
        r.device_name = u->devname.empty() ? "gatesimd" : u->devname;
        std::printf("gatesimd: login [%s] from %s: level %d, codec %s\n", user.c_str(), peer.c_str(),
                    u->level, UserTable::codec_name(u->codec));
        return 0;
    });
    sim->set_cb_set_ptt([](int ptt) {
        std::printf("gatesimd: ptt %s\n", ptt ? "on" : "off");
        return 0;
    });
    sim->set_cb_xml_status_req([] {
        std::printf("gatesimd: xml status request\n");
        return 0;
    });
    sim->set_cb_xml_action([](unsigned &a, unsigned &b, const std::string &text) {
        std::printf("gatesimd: xml action a=%u b=%u [%s]\n", a, b, text.c_str());
        return 0;
    });
    sim->set_cb_front([](unsigned type, const unsigned char *body, int len) {
        if (type == 207 && len >= 140) {
            uint32_t l1 = bytes::get_le32(body + 128), mode = bytes::get_le32(body + 136);
            l1 = l1 > 64 ? 64 : l1;
            std::printf("gatesimd: front keys mode %u: %s\n", mode, hex(body, static_cast<int>(l1)).c_str());
        } else {
            std::printf("gatesimd: front %u: %s\n", type, hex(body, len).c_str());
        }
        return 0;
    });
    sim->set_cb_blocked_list([](const std::string &user, const std::vector<std::string> &names) {
        std::fputs(blocked_list_lines(user, names).c_str(), stdout);
        return 0;
    });
    if (voice_cfg.kind == VoiceConfig::loop || voice_cfg.kind == VoiceConfig::record || !o.record.empty())
        sim->set_cb_rtp_recv([&voice](unsigned char *p, int len) { return voice.on_rtp(p, len); });

    XmlSiteConfig xml_cfg;
    xml_cfg.bind = o.bind;
    xml_cfg.port = o.xml_port;
    xml_cfg.rtp_port = o.rtp_port;
    xml_cfg.radio_name = o.radio_name;
    xml_cfg.debug = o.debug;
    xml_cfg.max_clients = o.max_clients;
    XmlServer xml(*sim, users, xml_cfg);

    if (sim->init(o.bind.c_str(), o.port, o.max_clients, o.rtp_port) != 0)
        return fail("cannot serve on " + o.bind + ":" + std::to_string(o.port) + " / rtp " +
                    std::to_string(o.rtp_port));
    if (!voice.start(error))
        return fail(error);
    ControlSocket control;
    if (!o.control.empty() && !control.open(o.control, error))
        return fail(error);
    if (o.xml_port != 0 && !xml.start(error))
        return fail(error);
    std::printf("gatesimd: serving on %s:%d, rtp port %d, %zu users\n", o.bind.c_str(), o.port, o.rtp_port,
                users.users().size());
    if (o.xml_port != 0)
        std::printf("gatesimd: xml gateways on %s:%d, radio %s\n", o.bind.c_str(), xml.port(),
                    o.radio_name.c_str());
    std::unique_ptr<reflector::ReflectorBridge> bridge;
    if (!o.reflector.empty()) {
        bridge = std::make_unique<reflector::ReflectorBridge>(
            *sim, bridge_cfg, [](const std::string &line) { std::printf("gatesimd: %s\n", line.c_str()); });
        // The library has one talker callback: the XML side and the bridge
        // both hear every change.
        libgatesim::cb_talker to_bridge = bridge->talker_listener();
        libgatesim::cb_talker to_xml = o.xml_port != 0 ? xml.talker_listener() : nullptr;
        sim->set_cb_talker([to_bridge, to_xml](int ptt, const std::string &user) {
            if (to_xml)
                to_xml(ptt, user);
            return to_bridge(ptt, user);
        });
        if (!bridge->start(error))
            return fail(error);
    }

    XmlCommands xml_commands(xml);
    CommandInterpreter commands(*sim, o.xml_port != 0 ? &xml_commands : nullptr);
    bool quit = false;
    auto execute = [&](const std::string &line) {
        std::string reply;
        if (dm.execute(line, reply))
            return reply;
        std::string first;
        std::istringstream(line) >> first;
        if (first == "help")
            return std::string(CommandInterpreter::help_text()) + dm3000::Site::help_text() +
                   (o.xml_port != 0 ? XmlCommands::help_text() : "") +
                   (bridge ? "reflector:\n  state                      the reflector link, its nodes and "
                             "talkers\n"
                           : "") +
                   "ok";
        if (first == "state" && bridge)
            return bridge->state_text() + (o.xml_port != 0 ? xml.state_text() : std::string()) + "ok";
        return commands.execute(line, quit);
    };
    auto run = [&](const std::string &line) {
        std::string reply = execute(line);
        return reply.empty() ? std::string("ok") : reply;
    };
    bool stdin_open = true;
    std::string stdin_buf;
    while (!quit) {
        std::vector<pollfd> p;
        p.push_back({sigfd, POLLIN, 0});
        if (stdin_open)
            p.push_back({STDIN_FILENO, POLLIN, 0});
        for (int fd : control.fds())
            p.push_back({fd, POLLIN, 0});
        if (::poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents != 0)
            break;
        for (size_t i = 1; i < p.size() && !quit; i++) {
            if (p[i].revents == 0)
                continue;
            if (p[i].fd == STDIN_FILENO) {
                char buf[4096];
                ssize_t r = ::read(STDIN_FILENO, buf, sizeof buf);
                if (r <= 0) {
                    stdin_open = false; // keep serving without a terminal
                    continue;
                }
                stdin_buf.append(buf, static_cast<size_t>(r));
                size_t nl;
                while (!quit && (nl = stdin_buf.find('\n')) != std::string::npos) {
                    std::string line = stdin_buf.substr(0, nl);
                    stdin_buf.erase(0, nl + 1);
                    std::string reply = execute(line);
                    if (!reply.empty())
                        std::printf("%s%s", reply.c_str(), reply.back() == '\n' ? "" : "\n");
                }
            } else {
                control.on_readable(p[i].fd, run);
            }
        }
    }
    // The bridge and the XML side call into the library until they have stopped;
    // the bridge first, so that the XML gateways hear it let go of the slot.
    if (bridge)
        bridge->stop();
    xml.stop();
    voice.stop();
    sim.reset();
    std::printf("gatesimd: stopped\n");
    return 0;
}
