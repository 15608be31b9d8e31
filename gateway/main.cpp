// gwlinkd: the gateway daemon. At most one option selects a maintenance mode
// that ends the process; without one the gateway is built in a fixed order and
// the main thread then stays in the supervision loop for good.
#include "audio/audio_device_ssc.h"
#include "audio/audio_player.h"
#include "audio/audio_recorder.h"
#include "audio/codec_alaw.h"
#include "audio/codec_gsm.h"
#include "audio/codec_speex.h"
#include "board/amplifier.h"
#include "board/gpio_at91.h"
#include "gateway/config.h"
#include "gateway/extra_config.h"
#include "gateway/radio_controls.h"
#include "gateway/supervisor.h"
#include "interfaces/control.h"
#include "status/log_tee.h"
#include "status/status_publisher.h"
#include "voice/voip.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{

// Directions and levels of the board lines in the modes that run without a
// radio control: the same as the controls use, minus their model lines.
constexpr uint32_t gpio_direction = 0x0011C1FE;
constexpr uint32_t gpio_values = 0xFFFE7F67;

constexpr uint32_t bit_recovery = 0x2000; // input, 1 = released
constexpr uint32_t bit_led = 0x4000;
constexpr uint32_t bit_beeper = 0x8000;

constexpr uint8_t default_volume = 45;

[[noreturn]] void fatal(const char *message)
{
    std::printf("error : %s\n", message);
    std::fflush(stdout);
    _exit(255);
}

void pause_ms(unsigned ms)
{
    ::usleep(ms * 1000);
}

// ---- Maintenance modes ------------------------------------------------------

int run_getconfig()
{
    if (g_config.load() != 0)
        g_config.create_default();
    g_config.print();
    return 0;
}

int run_createconfig()
{
    return g_config.create_default() == 0 ? 0 : 255;
}

std::unique_ptr<GpioAT91> open_board_lines()
{
    std::unique_ptr<GpioAT91> gpio(new GpioAT91(nullptr));
    if (!gpio->is_ready())
        fatal("cannot initialize gpio\n");
    return gpio;
}

void blink_led_fast(Gpio &gpio)
{
    gpio.clear_bits(bit_led);
    pause_ms(25);
    gpio.set_bits(bit_led);
    pause_ms(25);
}

// Whether the recovery button is held: three samples a second apart, all
// pressed. A held button is confirmed with a fast blink and three beeps.
int run_recover()
{
    std::unique_ptr<GpioAT91> gpio = open_board_lines();
    gpio->start(gpio_direction, gpio_values);

    for (int sample = 0; sample < 3; ++sample) {
        if (sample > 0)
            pause_ms(1000);
        uint32_t bits = 0;
        gpio->read_bits(&bits);
        if (bits & bit_recovery) {
            std::printf("0");
            return 0;
        }
    }

    for (int i = 0; i < 40; ++i)
        blink_led_fast(*gpio);
    for (int i = 0; i < 3; ++i) {
        gpio->set_bits(bit_beeper);
        pause_ms(50);
        gpio->clear_bits(bit_beeper);
        pause_ms(50);
    }
    std::printf("1");
    return 1;
}

// Blinks the status LED at 20 Hz in the background while an upgrade runs;
// ended by a signal.
[[noreturn]] void run_upgblink()
{
    std::unique_ptr<GpioAT91> gpio = open_board_lines();
    // Fork before the poll thread exists: a child must not inherit a copy of
    // a register lock that the thread might hold at that moment.
    if (::daemon(0, 0) != 0)
        _exit(255);
    gpio->start(gpio_direction, gpio_values);
    for (;;)
        blink_led_fast(*gpio);
}

// Leaves the controlling terminal: new session, every descriptor closed and
// the standard ones on "/dev/null". The process keeps its PID.
void detach_from_terminal()
{
    ::setsid();
    for (int fd = ::getdtablesize(); fd >= 0; --fd)
        ::close(fd);
    // The lowest free descriptors: 0, then 1 and 2.
    int fd = ::open("/dev/null", O_RDWR);
    if (fd >= 0) {
        int out = ::dup(fd);
        int err = ::dup(fd);
        (void)out;
        (void)err;
    }
}

// ---- Normal start -------------------------------------------------------------

// Step 1: the configuration, repaired with defaults when missing or invalid;
// then the optional extra settings, which are never repaired: without a
// usable file they are all off.
void start_config()
{
    if (g_config.load() != 0)
        g_config.create_default();
    g_config.print();
    std::printf("\n");
    g_extra_config.load();
}

// Step 2: the codec chosen in "/config/codec.cfg"; null for an unknown type.
Codec *start_codec(int type)
{
    switch (type) {
    case 1:
        return new CodecAlaw(160);
    case 2:
        // Both halves, GSM_OPT_FAST and GSM_OPT_LTP_CUT off.
        return new CodecGsm(0, 0, 0);
    case 3:
        // Both halves, 8000 bit/s, no enhancement, the library's complexity.
        return new CodecSpeex(0, 8000, 0, 0);
    default:
        return nullptr;
    }
}

// Step 3: the loudspeaker amplifier at its default volume. A failed volume
// write is reported and tolerated.
void start_amplifier()
{
    if (i2c_max9768_init("/dev/i2c-0") != 0)
        fatal("cannot initialize i2c_max9768");
    if (i2c_max9768_vol_write(default_volume) != 0)
        std::printf("i2c_max9768_vol_write(default) failed!\n");
}

// Step 4.
void check_codec(Codec *codec)
{
    if (codec == nullptr || !codec->isInitialized())
        fatal("cannot initialize codec");
}

// Step 5: the PCM port, one period per codec frame.
AudioDeviceSSC *start_audio_device(Codec *codec)
{
    AudioDeviceSSC *device = new AudioDeviceSSC("/dev/ssc0", codec->getDecodedBlockSize());
    if (!device->isInitialized())
        fatal("cannot initialize SSC");
    return device;
}

// Step 6.
AudioPlayer *start_player(AudioDevice *device, Codec *codec)
{
    AudioPlayer *player = new AudioPlayer(device, codec);
    if (!player->isInitialized())
        fatal("cannot initialize audioplayer");
    return player;
}

// Step 7: the capture filter stays off.
AudioRecorder *start_recorder(AudioDevice *device, Codec *codec)
{
    AudioRecorder *recorder = new AudioRecorder(device, codec, false);
    if (!recorder->isInitialized())
        fatal("cannot initialize audiorecorder");
    return recorder;
}

// Step 8: the voice engine with a jitter buffer of `buffers` packets' depth
// and twice that capacity; its threads run from here on.
class_voip *start_voip(Codec *codec, AudioPlayer *player, AudioRecorder *recorder)
{
    int buffers = g_config.fields().buffers;
    // Below 1, or so large that its double overflows, the jitter buffer
    // would never play a packet.
    if (buffers < 1 || buffers > INT32_MAX / 2) {
        const int factory = config_format::default_record().buffers;
        std::printf("cfg : invalid buffers (%d), using %d\n", buffers, factory);
        buffers = factory;
    }
    class_voip *voip = new class_voip(codec->getEncodedBlockSize(), player, recorder, 2 * buffers, buffers);
    if (voip->init() < 0)
        fatal("voip init failed");
    return voip;
}

// Step 9: the control object of the configured radio type. A radio type
// whose control does not exist yet ends the start like an unknown one.
class_control *start_control(int radio_type, class_voip *voip, Supervisor::FrontIrq &front_irq)
{
    const radio_control_entry *entry = find_radio_control(radio_type);
    if (entry != nullptr)
        std::printf("radio_type: %s\n", entry->name);
    if (entry == nullptr || entry->create == nullptr)
        fatal("unknown radio type");
    return entry->create(voip, front_irq);
}

// Steps 11 and 12, on the control's GPIO lines: two beeps, then lines 17-19
// become outputs.
void greet(Gpio &gpio)
{
    for (int i = 0; i < 2; ++i) {
        gpio.set_bits(bit_beeper);
        pause_ms(50);
        gpio.clear_bits(bit_beeper);
        pause_ms(50);
    }
    uint32_t direction = 0;
    gpio.get_direction(&direction);
    gpio.set_direction(direction | 0xE0000);
}

// The live state for the web interface and other local readers. Without a
// writable "/run" the gateway runs as it would without this file: nothing is
// printed about it.
gw_status::StatusMap &status_map()
{
    static gw_status::StatusMap map;
    return map;
}

// Builds the gateway; everything created here lives until the process ends.
[[noreturn]] void normal_start()
{
    if (status_map().open_for_writing(gw_status::status_path) == 0)
        gw_status::tee_stdout_into(&status_map());
    start_config();
    Codec *codec = start_codec(g_config.codec());
    start_amplifier();
    check_codec(codec);
    AudioDeviceSSC *device = start_audio_device(codec);
    AudioPlayer *player = start_player(device, codec);
    AudioRecorder *recorder = start_recorder(device, codec);
    class_voip *voip = start_voip(codec, player, recorder);

    const int radio_type = g_config.fields().radio_type;
    Supervisor::FrontIrq front_irq;
    class_control *control = start_control(radio_type, voip, front_irq);
    if (control->init() < 0)
        fatal("ctl init failed !");
    Gpio *gpio = control->get_gpio();
    greet(*gpio);
    Supervisor supervisor(gpio, radio_type, front_irq);
    const config_format::config_record cfg = g_config.fields();
    gw_status::StatusPublisher publisher(&status_map(), static_cast<uint32_t>(radio_type),
                                         static_cast<uint32_t>(g_config.codec()),
                                         static_cast<uint32_t>(cfg.crypto_mode));
    if (status_map().is_open())
        supervisor.set_after_pass([&publisher] { publisher.publish(); });
    supervisor.run();
}

} // namespace

int main(int argc, char **argv)
{
    // Writes to a closed socket must fail, not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    // Logs reach a pipe line by line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (argc < 2 || argv[1] == nullptr)
        normal_start();

    const char *option = argv[1];
    if (std::strcmp(option, "--getconfig") == 0)
        return run_getconfig();
    if (std::strcmp(option, "--createconfig") == 0)
        return run_createconfig();
    if (std::strcmp(option, "--recover") == 0)
        return run_recover();
    if (std::strcmp(option, "--upgblink") == 0)
        run_upgblink();
    if (std::strcmp(option, "--infinite") == 0) {
        detach_from_terminal();
        normal_start();
    }
    std::printf("usage: %s --getconfig / --createconfig / --recover / --infinite / --upgblink\n", argv[0]);
    return 255;
}
