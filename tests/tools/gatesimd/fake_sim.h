// A libgatesim stand-in that records what the host asks of it.
#pragma once

#include "gatesim/libgatesim.h"

#include <mutex>
#include <string>
#include <vector>

class FakeSim : public libgatesim
{
  public:
    struct Call {
        std::string what;
        std::vector<long long> args;
        std::vector<unsigned char> data;
        std::string text;
    };

    void set_cb_info_ver(cb_info_ver) override {}
    void set_cb_login_req(cb_login_req) override {}
    void set_cb_set_ptt(cb_set_ptt) override {}
    void set_cb_xml_status_req(cb_xml_status_req) override {}
    void set_cb_xml_action(cb_xml_action) override {}
    void set_cb_rtp_recv(cb_rtp_recv) override {}
    void set_dbg(bool) override {}
    int init(const char *, int, int, int) override { return 0; }
    int async_unlock_sql(int sql) override { return record({"sql", {sql}, {}, ""}); }
    int async_gpio_changed(unsigned bitmap, unsigned mask) override
    {
        return record({"gpio", {bitmap, mask}, {}, ""});
    }
    int async_ext_xml_status(const std::string &xml) override { return record({"xml", {}, {}, xml}); }
    int async_ext_raw(int type, const unsigned char *data, int len) override
    {
        return record({"raw", {type}, {data, data + len}, ""});
    }
    int async_polar_status(const std::string &name, const std::string &text, unsigned v1,
                           unsigned v2) override
    {
        return record({"polar", {v1, v2}, {}, name + "|" + text});
    }
    int rtp_send(unsigned char *payload, int len, int pt) override
    {
        return record({"rtp", {len, pt}, {payload, payload + len}, ""});
    }
    void set_cb_front(cb_front) override {}
    int async_serial_data(int channel, const unsigned char *data, int len) override
    {
        return record({"serial", {channel}, {data, data + len}, ""});
    }
    void set_cb_dm3000_req(cb_dm3000_req) override {}
    int async_dm3000_status(unsigned a, unsigned char b, const unsigned char *data, int len) override
    {
        return record({"dm3000", {a, b}, {data, data + len}, ""});
    }

    void set_cb_talker(cb_talker) override {}
    int rtp_member_add(const std::string &) override { return -1; }
    int rtp_member_del(const std::string &, int) override { return -1; }
    int talker_take(const std::string &, int, const std::string &) override { return -2; }
    int talker_free(const std::string &, int, const std::string &) override { return -1; }
    void set_cb_blocked_list(cb_blocked_list) override {}

    std::vector<Call> calls()
    {
        std::lock_guard<std::mutex> g(lock_);
        return calls_;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(lock_);
        return calls_.size();
    }
    int result = 0;

  private:
    int record(Call c)
    {
        std::lock_guard<std::mutex> g(lock_);
        calls_.push_back(std::move(c));
        return result;
    }
    std::mutex lock_;
    std::vector<Call> calls_;
};
