// One site with the gateway in the ARM926 test machine (scripts/board-vm):
// gatesimd and qemu run inside one box, whose network is loopback only; the
// guest boots the image's own root file system and init, and its gwlinkd
// logs in to gatesimd through qemu's user network (10.0.2.2 is the box's
// loopback). The radio's side is the box's emulator on "/dev/ttyS1", which
// qemu passes to the guest's second 16550.
//
//   board_vm_test --vm-dir DIR --radio gm360|nx700 [--seconds N] [--icount] [--quick]
//
// DIR holds qemu.args (qemu's arguments, one a line, without the kernel
// command line), cmdline (the kernel command line) and flash.img. --quick runs
// the boot, login and a stretch of voice each way only.
#include "sim/box_client.h"
#include "tests/system/board_vm.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fstream>
#include <iostream>

using namespace board_vm;

namespace
{

struct Options {
    std::string dir;
    std::string radio = "gm360";
    int seconds = 2;
    bool icount = false;
    bool quick = false;
} opt;

// The board's wiring of the lines used here: PA1 is the gm360's PTT input
// and the nx700's SWITCH_ON input (logical GPIO 0x1000), PA0 the recovery
// button (0x2000); both active low.
constexpr uint32_t pa1 = 1u << 1;
constexpr uint32_t pa0 = 1u << 0;
// What the guest's simulated codec captures, and what gatesimd plays.
constexpr double uplink_hz = 1000;
constexpr double downlink_hz = 440;

bool xml_radio()
{
    return opt.radio != "gm360";
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        if (!l.empty())
            out.push_back(l);
    return out;
}

std::vector<int16_t> read_wav(const std::string &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<int16_t> s;
    if (!f)
        return s;
    s.resize(static_cast<size_t>(info.frames));
    s.resize(static_cast<size_t>(sf_read_short(f, s.data(), info.frames)));
    sf_close(f);
    return s;
}

// One boot of the test machine.
class Machine
{
  public:
    ~Machine() { stop(); }

    bool boot(const std::string &extra_cmdline)
    {
        std::vector<std::string> args = read_lines(opt.dir + "/qemu.args");
        std::vector<std::string> cmdline = read_lines(opt.dir + "/cmdline");
        if (args.empty() || cmdline.empty())
            return false;
        args.push_back("-append");
        args.push_back(cmdline[0] + (extra_cmdline.empty() ? "" : " " + extra_cmdline));
        ::unlink((opt.dir + "/console.sock").c_str());
        ::unlink((opt.dir + "/agent.sock").c_str());
        started = Clock::now();
        if (qemu.start(args) != 0)
            return false;
        // qemu waits for both sockets before the guest starts; it may also
        // refuse its arguments and end.
        return connect(console, "/console.sock") && connect_agent();
    }

    // A clean stop: the image's init takes the system down and restarts,
    // which ends qemu (-no-reboot).
    int stop()
    {
        if (!qemu.running())
            return qemu.wait_exit(ms(0));
        agent.sh("reboot", ms(2000));
        int status = qemu.wait_exit(ms(90000));
        if (status < 0)
            status = qemu.stop();
        agent.close();
        console.close();
        return status;
    }

    bool connect(LineStream &stream, const char *name)
    {
        auto deadline = Clock::now() + ms(60000);
        while (Clock::now() < deadline) {
            if (stream.connect(opt.dir + name, ms(500)))
                return true;
            if (qemu.wait_exit(ms(0)) >= 0)
                return false;
        }
        return false;
    }
    bool connect_agent()
    {
        auto deadline = Clock::now() + ms(60000);
        while (Clock::now() < deadline) {
            if (agent.connect(opt.dir + "/agent.sock", ms(500)))
                return true;
            if (qemu.wait_exit(ms(0)) >= 0)
                return false;
        }
        return false;
    }

    double seconds_since_start() const
    {
        return std::chrono::duration<double>(Clock::now() - started).count();
    }

    site::Child qemu;
    LineStream console;
    Agent agent;
    Clock::time_point started;
};

class Site
{
  public:
    bool start_server()
    {
        std::vector<std::string> argv = {site::bin("gatesimd"),
                                         "--bind",
                                         "127.0.0.1",
                                         "--voice",
                                         "tone:" + std::to_string(static_cast<int>(downlink_hz)),
                                         "--record",
                                         opt.dir + "/uplink.wav"};
        ::unlink((opt.dir + "/uplink.wav").c_str());
        return server.start(argv) == 0 && server.wait_for_line("gatesimd: serving on", ms(20000));
    }
    std::string login_line() const { return xml_radio() ? "gatesimd: xml login [" : "gatesimd: login ["; }
    std::string ptt_line(bool on) const
    {
        return std::string(xml_radio() ? "gatesimd: xml ptt " : "gatesimd: ptt ") + (on ? "on" : "off");
    }

    site::Child server;
    Machine vm;
    double boot_to_login = 0;
    bool up = false; // the first boot reached the agent
};

Site *the_site;

// The words the guest's SSC sent in the last two seconds.
std::vector<uint32_t> played_words(Agent &agent)
{
    Agent::Result r = agent.sh("echo 1 >/sys/devices/platform/ssc.0/snapshot");
    if (r.status != 0)
        return {};
    return words_of(agent.read("/sys/devices/platform/ssc.0/played").output);
}

std::map<std::string, std::string> ssc_counters(Agent &agent)
{
    return key_values(agent.read("/sys/devices/platform/ssc.0/counters").output);
}

bool set_port_a(Agent &agent, uint32_t levels)
{
    char v[16];
    std::snprintf(v, sizeof v, "0x%08x", levels);
    return agent.sh(std::string("echo ") + v + " >/sys/module/pio_sim/parameters/input_a").status == 0;
}

// PTT at the PIO input (gm360), or the radio's PTT key frame on the serial
// line from the box's emulator (nx700).
bool press_ptt(Agent &agent, bool on)
{
    if (!xml_radio())
        return set_port_a(agent, on ? ~pa1 : ~0u);
    boardbox::Client box;
    nlohmann::json reply;
    return box.connect_inside() == 0 &&
           box.request({{"cmd", opt.radio}, {"op", "ptt"}, {"on", on}}, reply) == 0;
}

void print_guest_logs(Agent &agent)
{
    std::cout << "== guest kernel log\n" << agent.sh("dmesg").output << "== end of guest kernel log\n";
    std::cout << "== gwlinkd log\n"
              << agent.sh("logread 2>/dev/null | grep -v ' kern\\.' || cat /var/log/messages").output
              << "== end of gwlinkd log\n";
}

class BoardVm : public ::testing::Test
{
  protected:
    // Every step after the boot needs the machine: without it they fail at
    // once instead of waiting out their time-outs.
    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        if (name != "BootsTheImageAndLoadsTheDriver" &&
            name != "RecoveryButtonHeldAtBootRestoresTheFactoryConfiguration" && !s.up)
            GTEST_FAIL() << "the machine did not come up";
    }
    Site &s = *the_site;
};

TEST_F(BoardVm, BootsTheImageAndLoadsTheDriver)
{
    ASSERT_TRUE(s.start_server()) << s.server.tail();
    ASSERT_TRUE(s.vm.boot("")) << s.vm.qemu.tail();
    EXPECT_GE(s.vm.console.wait_for("board_init: starting the image's /sbin/init", ms(240000)), 0)
        << s.vm.qemu.tail();
    EXPECT_GE(s.vm.console.wait_for("pcmlink: at91sam9260 ssc driver initialized", ms(240000)), 0);
    ASSERT_TRUE(s.vm.agent.wait_ready(ms(120000)));
    s.up = true;
}

TEST_F(BoardVm, GatewayStartsFromInitAndLogsIn)
{
    ASSERT_TRUE(s.server.wait_for_line(s.login_line(), ms(300000))) << s.server.tail();
    s.boot_to_login = s.vm.seconds_since_start();
    std::cout << "board-vm: boot to login " << s.boot_to_login << " s\n";
    Agent::Result r = s.vm.agent.sh("pidof gwlinkd");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(BoardVm, AmplifierWritesArriveAt0x4B)
{
    Agent::Result r = s.vm.agent.read("/sys/devices/platform/i2c_sim/writes");
    ASSERT_EQ(r.status, 0);
    std::cout << "board-vm: amplifier writes:\n" << r.output;
    // The default volume 45 at start.
    EXPECT_NE(r.output.find(" 0x4b 0x2d\n"), std::string::npos) << r.output;
}

TEST_F(BoardVm, ServerToneReachesTheGuestsSsc)
{
    // The relay plays only to gateways whose hello packets it has seen, so
    // this also shows the sync.
    ToneMeasure m;
    auto deadline = Clock::now() + ms(60000);
    while (Clock::now() < deadline) {
        std::vector<int16_t> s16 = speaker_samples(played_words(s.vm.agent));
        if (s16.size() > 8000)
            s16.erase(s16.begin(), s16.end() - 8000);
        m = measure_tone(s16);
        if (std::abs(m.hz - downlink_hz) < 5 && m.dbfs > -30)
            break;
    }
    std::cout << "board-vm: loudspeaker " << m.hz << " Hz at " << m.dbfs << " dBFS\n";
    EXPECT_NEAR(m.hz, downlink_hz, 5);
    EXPECT_GT(m.dbfs, -30);
}

// PTT, and the guest's tone at the server while it is held.
TEST_F(BoardVm, PttSendsTheGuestsVoiceToTheServer)
{
    size_t from = s.server.line_count();
    ASSERT_TRUE(press_ptt(s.vm.agent, true));
    ASSERT_TRUE(s.server.wait_for_line(s.ptt_line(true), ms(20000), from)) << s.server.tail();
    // The recording grows by 16000 bytes a second of voice.
    long want = 44 + 16000L * opt.seconds;
    auto deadline = Clock::now() + ms(30000 + 2000 * opt.seconds);
    while (site::file_size(opt.dir + "/uplink.wav") < want && Clock::now() < deadline)
        std::this_thread::sleep_for(ms(50));
    ASSERT_TRUE(press_ptt(s.vm.agent, false));
    EXPECT_TRUE(s.server.wait_for_line(s.ptt_line(false), ms(20000), from)) << s.server.tail();
    std::vector<int16_t> up = read_wav(opt.dir + "/uplink.wav");
    ASSERT_GE(up.size(), static_cast<size_t>(8000 * opt.seconds));
    // The first frames may still be the codec's start; judge the rest.
    up.erase(up.begin(), up.begin() + 800);
    ToneMeasure m = measure_tone(up);
    std::cout << "board-vm: uplink " << up.size() / 8000.0 << " s, " << m.hz << " Hz at " << m.dbfs
              << " dBFS\n";
    EXPECT_NEAR(m.hz, uplink_hz, 5);
    EXPECT_GT(m.dbfs, -20);
}

TEST_F(BoardVm, NoFaultsOfTheSimulatedDevices)
{
    std::map<std::string, std::string> c = ssc_counters(s.vm.agent);
    EXPECT_EQ(c["faults"], "0");
    std::cout << "board-vm: ssc rx " << c["rx_blocks"] << " blocks, tx " << c["tx_blocks"] << " blocks ("
              << c["tx_fill_blocks"] << " fill)\n";
    Agent::Result pio = s.vm.agent.read("/sys/devices/platform/pio_sim/state");
    std::cout << "board-vm: pio " << pio.output;
    EXPECT_NE(pio.output.find("faults 0\n"), std::string::npos);
    Agent::Result k =
        s.vm.agent.sh("dmesg | grep -E 'ssc_sim: fault|pio_sim: fault|BUG:|WARNING:|Oops|Unable to handle'");
    EXPECT_NE(k.status, 0) << k.output;
}

TEST_F(BoardVm, KilledGatewayComesBackThroughTheRespawn)
{
    if (opt.quick)
        GTEST_SKIP() << "--quick";
    std::string before = s.vm.agent.sh("pidof gwlinkd").output;
    size_t from = s.server.line_count();
    ASSERT_EQ(s.vm.agent.sh("killall gwlinkd").status, 0);
    ASSERT_TRUE(s.server.wait_for_line(s.login_line(), ms(120000), from)) << s.server.tail();
    std::string after = s.vm.agent.sh("pidof gwlinkd").output;
    EXPECT_NE(after, before);
    EXPECT_FALSE(after.empty());
}

// gwlinkd's threads' time on the CPU (from the scheduler's statistics, in
// guest nanoseconds) and the guest's clock, from the guest's /proc.
struct CpuSample {
    double uptime = 0;
    double daemon_ns = 0;
    double ticks = 0;           // utime + stime of the process, USER_HZ 100
    double busy = 0, total = 0; // all CPUs, /proc/stat
    double blocks = 0;          // SSC blocks received, 20 ms each
};

bool sample_cpu(Agent &agent, CpuSample &c)
{
    Agent::Result r = agent.sh("p=$(pidof gwlinkd | cut -d' ' -f1); cat /proc/uptime; head -1 /proc/stat; "
                               "cat /proc/$p/stat; cat /proc/$p/task/*/schedstat");
    if (r.status != 0) {
        std::cout << "board-vm: reading the CPU times failed (" << r.status << "):\n" << r.output;
        return false;
    }
    std::istringstream in(r.output);
    std::string line;
    std::getline(in, line);
    c.uptime = std::atof(line.c_str());
    std::getline(in, line);
    {
        std::istringstream f(line.substr(line.find(' ')));
        double v;
        int i = 0;
        while (f >> v) {
            c.total += v;
            if (i != 3 && i != 4) // idle, iowait
                c.busy += v;
            i++;
        }
    }
    std::getline(in, line);
    {
        std::istringstream f(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int i = 3; f >> field; i++)
            if (i == 14 || i == 15)
                c.ticks += std::atof(field.c_str());
    }
    while (std::getline(in, line))
        c.daemon_ns += std::atof(line.c_str());
    c.blocks = std::atof(ssc_counters(agent)["rx_blocks"].c_str());
    return true;
}

// On the instruction clock one guest instruction takes 2^shift ns (the
// script's shift is 2); a 200 MHz ARM926 at one instruction a cycle takes
// 5 ns.
constexpr double icount_ns_per_instruction = 4;
constexpr double board_ns_per_instruction = 5;

TEST_F(BoardVm, CpuShareOfTheDaemonInTwoWayVoice)
{
    if (!opt.icount)
        GTEST_SKIP() << "without --icount the guest's clock is the host's";
    size_t from = s.server.line_count();
    ASSERT_TRUE(press_ptt(s.vm.agent, true));
    ASSERT_TRUE(s.server.wait_for_line(s.ptt_line(true), ms(20000), from)) << s.server.tail();
    CpuSample a, b;
    ASSERT_TRUE(sample_cpu(s.vm.agent, a));
    // A window of guest time; the guest's clock follows the host's while it idles.
    double window = std::max(10, 2 * opt.seconds);
    std::this_thread::sleep_until(Clock::now() + std::chrono::duration<double>(window));
    ASSERT_TRUE(sample_cpu(s.vm.agent, b));
    ASSERT_TRUE(press_ptt(s.vm.agent, false));
    double span = b.uptime - a.uptime;
    ASSERT_GT(span, 1);
    double share = (b.daemon_ns - a.daemon_ns) / (span * 1e9);
    // Per 20 ms period of the SSC: the guest's clock falls behind the host's
    // while the guest computes (qemu runs its instructions slower than 4 ns
    // each), and the periods are what the board does fifty times a second.
    double periods = b.blocks - a.blocks;
    ASSERT_GT(periods, 10);
    double per_period = (b.daemon_ns - a.daemon_ns) / icount_ns_per_instruction / periods;
    double board = per_period * 50 * board_ns_per_instruction / 1e9;
    double ticks_share = (b.ticks - a.ticks) / 100 / span;
    double machine = (b.busy - a.busy) / (b.total - a.total);
    std::printf(
        "board-vm: gwlinkd CPU in two-way voice: %.0f instructions per 20 ms period over %.0f periods, "
        "%.2f %% of a 200 MHz ARM926 at 1 instruction a cycle; %.2f %% of the guest over %.1f s of its "
        "clock (%.2f %% from its ticks); the whole guest %.2f %% busy\n",
        per_period, periods, 100 * board, 100 * share, span, 100 * ticks_share, 100 * machine);
    std::FILE *f = std::fopen((opt.dir + "/cpu-share").c_str(), "w");
    if (f) {
        std::fprintf(f, "%.2f %.2f %.1f %.2f %.0f\n", 100 * board, 100 * share, span, 100 * machine,
                     per_period);
        std::fclose(f);
    }
    EXPECT_GT(share, 0);
}

TEST_F(BoardVm, StopsCleanly)
{
    print_guest_logs(s.vm.agent);
    EXPECT_EQ(s.vm.stop(), 0) << s.vm.qemu.tail();
    std::cout << "== guest console\n";
    for (const std::string &l : s.vm.console.lines())
        std::cout << l << "\n";
    std::cout << "== end of guest console\n";
    EXPECT_GE(s.vm.console.wait_for("reboot: Restarting system", ms(1000)), 0);
    std::FILE *f = std::fopen((opt.dir + "/boot-to-login").c_str(), "w");
    if (f) {
        std::fprintf(f, "%.1f\n", s.boot_to_login);
        std::fclose(f);
    }
}

// A second boot with the recovery button (PA0) held: the image's init
// restores the factory configuration, whose server is the factory address
// (unreachable from the box).
TEST_F(BoardVm, RecoveryButtonHeldAtBootRestoresTheFactoryConfiguration)
{
    if (opt.quick)
        GTEST_SKIP() << "--quick";
    Machine vm;
    char held[48];
    std::snprintf(held, sizeof held, "pio_sim.input_a=0x%08x", ~pa0);
    ASSERT_TRUE(vm.boot(held)) << vm.qemu.tail();
    ASSERT_TRUE(vm.agent.wait_ready(ms(240000))) << vm.qemu.tail();
    EXPECT_GE(vm.console.wait_for("rcS: recovery button held", ms(120000)), 0);
    // The driver loads after the configuration is settled.
    EXPECT_GE(vm.console.wait_for("pcmlink: at91sam9260 ssc driver initialized", ms(120000)), 0);
    ASSERT_TRUE(set_port_a(vm.agent, ~0u));
    Agent::Result r = vm.agent.sh("gwlinkd --getconfig");
    std::cout << "board-vm: configuration after the recovery:\n" << r.output;
    EXPECT_NE(r.output.find("172.16.0.189"), std::string::npos);
    EXPECT_EQ(r.output.find("10.0.2.2"), std::string::npos);
    std::cout << "== guest console (recovery boot)\n";
    for (const std::string &l : vm.console.lines())
        std::cout << l << "\n";
    std::cout << "== end of guest console\n";
    EXPECT_EQ(vm.stop(), 0);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--vm-dir")
            opt.dir = value();
        else if (a == "--radio")
            opt.radio = value();
        else if (a == "--seconds")
            opt.seconds = std::max(1, std::atoi(value().c_str()));
        else if (a == "--icount")
            opt.icount = true;
        else if (a == "--quick")
            opt.quick = true;
        else {
            std::fprintf(stderr, "board_vm_test: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (opt.dir.empty()) {
        std::fprintf(stderr,
                     "usage: board_vm_test --vm-dir DIR [--radio TYPE] [--seconds N] [--icount] [--quick]\n");
        return 2;
    }
    Site s;
    the_site = &s;
    return RUN_ALL_TESTS();
}
