// class_config: the gateway's persistent configuration. The main record lives in
// "/config/main.cfg", the voice codec in "/config/codec.cfg" and the blocked user
// names in "/config/blocked.cfg". gwlinkd holds exactly one instance, g_config.
#pragma once

#include "gateway/config_record.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class class_config
{
  public:
    // Zeroes the record and empties the blocked list; touches no file.
    class_config();
    virtual ~class_config();

    class_config(const class_config &) = delete;
    class_config &operator=(const class_config &) = delete;

    // Reads "/config/main.cfg" (accepting versions '0', '1' and '2') and the
    // codec type; a missing codec file is written with A-law. 0 or -1; on
    // failure the record in memory is left as it was.
    virtual int load();
    // Writes the factory record, resets the codec to A-law and deletes the
    // blocked list. 0 or -1.
    virtual int create_default();
    // Prints the record to standard output; returns 0.
    virtual int print();
    // The 136-byte record image, laid out as in the file.
    virtual const uint8_t *record();
    // The codec type stored in "/config/codec.cfg", or -1.
    virtual int load_codec();
    // Writes "/config/codec.cfg"; the in-memory codec type stays. 0 or -1.
    virtual int save_codec(int type);
    // The in-memory codec type: 1 A-law, 2 GSM, 3 Speex.
    virtual int codec();
    // (Re)loads the blocked-name list; a failed load leaves it empty. 0 or -1.
    virtual int setblockedlist_load();
    virtual bool is_blocked(const std::string &name);

    // The record decoded into named fields (remote_ip, remote_port, ...).
    config_format::config_record fields();

  private:
    uint8_t record_[config_format::record_size];
    int32_t codec_ = 0;
    // The blocked list is reloaded and queried from different threads.
    std::mutex blocked_lock_;
    std::vector<std::string> blocked_;
};

// The configuration of this process, created before main runs.
extern class_config g_config;
