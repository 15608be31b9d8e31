#include "control/control_xml.h"

#include "board/amplifier.h"
#include "board/gpio_at91.h"
#include "control/extra_settings.h"
#include "control/roipsrv_conn.h"
#include "control/xml_messages.h"
#include "gateway/config.h"
#include "gateway/extra_config.h"
#include "status/live_status.h"
#include "voice/voip.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace
{

constexpr uint32_t STATUS_LED = 0x4000;
constexpr int LOCAL_VOICE_PORT = 8000;
constexpr uint32_t REMOTE_RESET_BIT = 1u << 3;

} // namespace

class_control_xml::class_control_xml(class_voip *voip, const profile &prof) : voip(voip), prof(prof) {}

class_control_xml::~class_control_xml()
{
    stop_sources();
}

void class_control_xml::stop_sources()
{
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        initialised = 0;
    }
    {
        std::lock_guard<std::mutex> lock(reset_mutex);
        stopping = true;
    }
    reset_wake.notify_all();
    // Each of these joins its thread, so no callback is running afterwards.
    // The timers first: they call back into this object and sound the
    // beeper. The serial reader may be in the panel's reset sequence, which
    // uses the link without the mutex: it ends (its pause cut short) before
    // the link goes.
    if (tot)
        tot->stop();
    if (alarm)
        alarm->stop();
    if (serial)
        serial->stop();
    gpio.reset();
    link.reset();
}

void class_control_xml::say(const char *format, ...) const
{
    // Sized first: a line may carry a whole serial chunk in hexadecimal.
    va_list ap, again;
    va_start(ap, format);
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    // One write per line, so lines of different threads never mix.
    std::printf("%s%s\n", prof.prefix, text.c_str());
}

std::string class_control_xml::hex(const uint8_t *data, size_t length)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, i ? " %2.2hhX" : "%2.2hhX", data[i]);
        out += b;
    }
    return out;
}

int class_control_xml::init()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (init_attempted)
        return -1;
    init_attempted = true;

    say("%s", prof.first_line);
    if (i2c_max9768_vol_write(prof.volume) != 0)
        say("%s", prof.volume_failure);
    if (g_config.setblockedlist_load() != 0)
        say("%s", prof.blocked_failure);
    // Voice encryption off until the server asks for its passphrase.
    const uint8_t key[16] = {};
    voip->setCryptoKey(key, sizeof key, 0);

    gpio = std::make_unique<GpioAT91>(this);
    if (!gpio->is_ready()) {
        say("error: cannot initialize gpio");
        return -1;
    }
    gpio->start(prof.gpio_direction, prof.gpio_values);
    tot = std::make_unique<TxTimeout>(extra_tx_timeout(), gpio.get(), [this] { transmit_expired(); });
    alarm = std::make_unique<VoiceAlarm>(extra_voice_alarm(), [this] { return voip->voicePackets(); });

    serial = std::make_unique<SerialControl>(this, 0, "/dev/ttyS1");
    serial->open(&prof.serial);
    if (prof.serial_timeout_reset)
        serial->SetTimeoutReset(0);
    if (!serial->is_open()) {
        std::printf("%serror: cannot initialize serial 0 (ttyS1)%s", prof.prefix,
                    prof.serial_failure_line_end ? "\n" : "");
        return -1;
    }

    const config_format::config_record cfg = g_config.fields();
    link = std::make_unique<class_roipsrv_conn>(
        [this](const std::string &text) { on_xml_message(text); }, config_format::dotted(cfg.remote_ip),
        cfg.remote_port, cfg.remote_user, cfg.remote_passwd, LOCAL_VOICE_PORT, extra_backup_server());
    if (init_model() != 0)
        return -1;

    initialised = 1;
    link->start_thr();
    say("%s", prof.last_line);
    return 0;
}

void class_control_xml::on_xml_message(const std::string &text)
{
    std::vector<uint8_t> deferred;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!initialised)
            return;
        dispatch(text, deferred);
    }
    // Whatever takes other locks of its own (the panel) is called only now:
    // this mutex is never held while waiting for them.
    if (!deferred.empty())
        deliver_deferred(deferred);
}

void class_control_xml::dispatch(const std::string &text, std::vector<uint8_t> &deferred)
{
    const std::string k = class_roipsrv_conn::message_key(text);
    if (k == "LoginPosResp") {
        on_login(text);
    } else if (k == "SetPttEv") {
        on_setptt(text);
    } else if (k == "UnlockSqlEv") {
        // Only printed: a document without a value prints 0.
        int sql = 0;
        const bool parsed = xml_UnlockSqlEv(text, sql) == 0;
        say("UnlockSqlEv: %d", sql);
        if (parsed) {
            gw_status::put(gw_status::live().squelch, static_cast<uint32_t>(sql));
            alarm->squelch(sql != 0);
        }
    } else if (k == ":connected") {
        say("connected");
    } else if (k == ":disconnected") {
        say("disconnected");
        tot->cancel();
        alarm->link_up(false);
        voip->setTransmit(0);
        voip->setRemote(0, 0, 0);
    } else if (k == serial_disp_key()) {
        on_serial_disp(text, deferred);
    } else if (k == "GpioChangedEv") {
        on_gpio_event(text);
    }
}

void class_control_xml::on_login(const std::string &text)
{
    int port = 0, codec = 0, sm = 0;
    uint32_t syncnum = 0;
    std::string devname, encrypt;
    if (xml_LoginPosResp(text, port, codec, sm, syncnum, devname, encrypt) != 0)
        return;
    if (codec != g_config.codec()) {
        say("codec change (%d)", codec);
        // A codec is never switched in place: store it and end this daemon,
        // which is started again from outside; not when it cannot be stored,
        // or the daemon would come back with the old one for ever.
        if (g_config.save_codec(codec) == 0) {
            int ignored = std::system("killall gwlinkd");
            (void)ignored;
        } else {
            say("cannot store codec type %d, going on with codec %d", codec, g_config.codec());
        }
    }
    say("logged in, remote rtp port: %d", port);
    say("encrypt: %s", encrypt.c_str());
    if (encrypt == "rckd")
        voip->setPassphrase(devname.c_str());
    if (port >= 1 && port <= 65535) {
        // The server this session runs on: the main one, or the backup.
        voip->setRemote(link->server_address(), static_cast<uint16_t>(port), syncnum);
    } else {
        // Cut to 16 bits it would send the voice to another port; the rest of
        // the login stands.
        say("LoginPosResp: bad rtp port %d, no voice stream", port);
    }
    alarm->link_up(true);
    gw_status::note_logged_in();
    login_followups();
}

void class_control_xml::on_setptt(const std::string &text)
{
    int ptt = 0;
    std::string login_roip, login_local;
    if (xml_SetPttEv(text, ptt, login_roip, login_local) != 0) {
        // Without a ptt value there is nothing to decide; muting stays.
        say("SetPttEv: parse error");
        return;
    }
    gw_status::put(gw_status::live().remote_ptt, ptt != 0);
    if (prof.print_setptt)
        say("SetPttEv: %d, login_roip: [%s], login_local: [%s]", ptt, login_roip.c_str(),
            login_local.c_str());
    const std::string own = g_config.fields().remote_user;
    alarm->remote_talking(ptt != 0 && login_local != own);
    if (ptt == 0 || login_local == own || !g_config.is_blocked(login_local)) {
        say("mute (0)");
        voip->setMuted(0);
        return;
    }
    say("on_setptt(%d) blocking user [%s]", ptt, login_local.c_str());
    say("mute (1)");
    voip->setMuted(1);
}

bool class_control_xml::parse_gpio_event(const std::string &text, uint32_t &bitmap, uint32_t &mask)
{
    if (xml_GpioChangedEv(text, bitmap, mask) != 0) {
        say("GpioChangedEv: parse error");
        return false;
    }
    say("GpioChangedEv: bitmap: %8.8X, mask: %8.8X", bitmap, mask);
    return true;
}

void class_control_xml::cb_gpio_changed(uint32_t bitmap, uint32_t mask)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!initialised || mask == STATUS_LED)
        return;
    say("cb_gpio_changed: %8.8X/%8.8X", bitmap, mask);
    on_local_gpio(bitmap, mask);
}

void class_control_xml::cb_front_ptt(int ptt)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!initialised)
        return;
    const int p = tot->filter(ptt);
    if (p < 0)
        return;
    say("ptt: %d", p);
    ptt_action(p);
    xml_SetPttReq(link.get(), p);
    voip->setTransmit(p);
}

void class_control_xml::transmit_expired()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!initialised || !tot->take_expiry())
        return;
    std::printf("tot     : transmission ended after %d s, release PTT to transmit again\n",
                g_extra_config.settings().tx_timeout);
    ptt_action(0);
    xml_SetPttReq(link.get(), 0);
    voip->setTransmit(0);
}

control_status class_control_xml::status()
{
    control_status st;
    if (link) {
        const ServerAddress s = link->server_in_use();
        st.server_addr = s.addr;
        st.server_port = s.port;
        st.on_backup = s.backup;
    }
    st.voice_alarm = alarm && alarm->active();
    return st;
}

void class_control_xml::send_button(int id, int state, int type)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (initialised)
        xml_XCMPAction(link.get(), id, state, type);
}

void class_control_xml::remote_reset()
{
    // Unlocked: the pause runs on the caller's thread and must not hold up
    // the other callbacks.
    class_roipsrv_conn *l = link.get();
    if (!l)
        return;
    {
        std::lock_guard<std::mutex> lock(reset_mutex);
        if (stopping)
            return;
    }
    say("xml_GpioSetReq(1 << 3)");
    xml_GpioSetReq(l, REMOTE_RESET_BIT);
    {
        // A control being stopped ends the pause at once but still clears
        // the bit: the radio is not to be left held in reset.
        std::unique_lock<std::mutex> lock(reset_mutex);
        reset_wake.wait_for(lock, std::chrono::seconds(2), [this] { return stopping; });
    }
    say("xml_GpioSetReq(1 << 3)");
    xml_GpioClrReq(l, REMOTE_RESET_BIT);
}

Gpio *class_control_xml::get_gpio()
{
    return gpio.get();
}

SerialControl *class_control_xml::get_serial()
{
    return serial.get();
}
