// The settings of "/config/extra.cfg" in the shapes the links and the radio
// controls take them. All off when the file is missing or bad.
#pragma once

#include "control/tx_timeout.h"
#include "control/voice_alarm.h"
#include "link/server_choice.h"

BackupServer extra_backup_server();
TxTimeout::Timing extra_tx_timeout();
VoiceAlarm::Timing extra_voice_alarm();
