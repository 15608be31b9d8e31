#include "control/extra_settings.h"

#include "gateway/extra_config.h"

BackupServer extra_backup_server()
{
    const extra_format::extra_record x = g_extra_config.settings();
    BackupServer b;
    b.addr = x.backup_ip;
    b.port = x.backup_port;
    b.backup_after = x.backup_after;
    b.main_retry = std::chrono::seconds(x.main_retry);
    return b;
}

TxTimeout::Timing extra_tx_timeout()
{
    TxTimeout::Timing t;
    t.limit = std::chrono::seconds(g_extra_config.settings().tx_timeout);
    return t;
}

VoiceAlarm::Timing extra_voice_alarm()
{
    VoiceAlarm::Timing t;
    t.limit = std::chrono::seconds(g_extra_config.settings().voice_alarm);
    return t;
}
