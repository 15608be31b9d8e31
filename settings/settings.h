// Setting the configuration record's fields and the codec by their print
// names, with the values checked before anything is written.
#pragma once

#include "gateway/config_record.h"

#include <string>

namespace gwcfg
{

// Largest jitter depth accepted, in 20 ms packets (5 s).
constexpr int max_buffers = 250;

// Applies one "FIELD VALUE" pair to rec; 0, or -1 with `error` saying why.
// Fields: ip gw dns mask remote_ip remote_port remote_user remote_passwd
// passwd buffers radio_type crypto_mode (codec is not part of the record).
int set_field(config_format::config_record &rec, const std::string &field, const std::string &value,
              std::string &error);

// "alaw", "gsm", "speex" or 1-3; -1 with `error` otherwise.
int parse_codec(const std::string &value, std::string &error);
const char *codec_name(int type);

// "gm360" ... "nx700" or 1-6; -1 with `error` otherwise.
int parse_radio_type(const std::string &value, std::string &error);
const char *radio_type_name(int type);

// A name that fits a 32-byte field with its terminating NUL.
bool fits_text_field(const std::string &value, std::string &error);

} // namespace gwcfg
