#include "link/server_choice.h"

#include "gateway/config_record.h"

#include <arpa/inet.h>

#include <cstdio>

std::string ServerAddress::text() const
{
    return host + ":" + std::to_string(port);
}

namespace
{

ServerAddress make_address(const std::string &host, int port, bool backup)
{
    ServerAddress a;
    a.host = host;
    a.addr = inet_addr(host.c_str());
    a.port = port;
    a.backup = backup;
    return a;
}

} // namespace

ServerChoice::ServerChoice(const std::string &main_host, int main_port, const BackupServer &backup,
                           Hooks hooks)
    : has_backup_(backup.addr != 0), main_(make_address(main_host, main_port, false)),
      backup_(
          make_address(config_format::dotted(backup.addr), backup.port != 0 ? backup.port : main_port, true)),
      backup_after_(backup.backup_after > 0 ? backup.backup_after : 1), main_retry_(backup.main_retry),
      hooks_(std::move(hooks))
{
    if (!has_backup_ || !hooks_.probe)
        return;
    try {
        prober_ = std::thread([this] { probe_loop(); });
    } catch (...) {
        // Without probes the link still moves back once the backup fails.
        std::puts("server  : cannot start the main server's probe");
    }
}

ServerChoice::~ServerChoice()
{
    stop();
}

void ServerChoice::stop()
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (stopping_ && !prober_.joinable())
            return;
        stopping_ = true;
    }
    cv_.notify_all();
    if (hooks_.abort_probe)
        hooks_.abort_probe();
    if (prober_.joinable())
        prober_.join();
}

ServerAddress ServerChoice::next()
{
    std::lock_guard<std::mutex> lock(lock_);
    session_backup_ = on_backup_;
    return on_backup_ ? backup_ : main_;
}

void ServerChoice::switch_to(bool backup, const char *why)
{
    const ServerAddress &from = backup ? main_ : backup_;
    const ServerAddress &to = backup ? backup_ : main_;
    std::printf("server  : %s server %s %s, switching to %s %s\n", from.backup ? "backup" : "main",
                from.text().c_str(), why, to.backup ? "backup" : "main", to.text().c_str());
    on_backup_ = backup;
    failures_ = 0;
    after_session_ = false;
}

bool ServerChoice::attempt_failed()
{
    if (!has_backup_)
        return false;
    std::lock_guard<std::mutex> lock(lock_);
    logged_in_ = false;
    if (session_backup_ != on_backup_)
        return true; // already moved on while this attempt ran
    ++failures_;
    if (after_session_) {
        switch_to(!on_backup_, "lost");
        return true;
    }
    if (failures_ >= backup_after_) {
        const std::string why = "failed " + std::to_string(failures_) + (failures_ == 1 ? " time" : " times");
        switch_to(!on_backup_, why.c_str());
        return true;
    }
    return false;
}

void ServerChoice::logged_in()
{
    if (!has_backup_)
        return;
    {
        std::lock_guard<std::mutex> lock(lock_);
        failures_ = 0;
        after_session_ = false;
        logged_in_ = true;
        next_probe_ = std::chrono::steady_clock::now() + main_retry_;
    }
    cv_.notify_all();
}

bool ServerChoice::session_ended()
{
    if (!has_backup_)
        return false;
    std::lock_guard<std::mutex> lock(lock_);
    logged_in_ = false;
    after_session_ = true;
    return session_backup_ != on_backup_;
}

ServerAddress ServerChoice::in_use()
{
    std::lock_guard<std::mutex> lock(lock_);
    return session_backup_ ? backup_ : main_;
}

void ServerChoice::probe_loop()
{
    std::unique_lock<std::mutex> lock(lock_);
    while (!stopping_) {
        const bool probing = logged_in_ && on_backup_ && session_backup_;
        if (!probing) {
            cv_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < next_probe_) {
            cv_.wait_until(lock, next_probe_);
            continue;
        }
        lock.unlock();
        const bool accepted = hooks_.probe(main_);
        lock.lock();
        if (stopping_)
            break;
        next_probe_ = std::chrono::steady_clock::now() + main_retry_;
        if (accepted && logged_in_ && on_backup_ && session_backup_) {
            std::printf("server  : main server %s accepts logins again, switching back from backup %s\n",
                        main_.text().c_str(), backup_.text().c_str());
            on_backup_ = false;
            failures_ = 0;
            // The session ends on the link's thread, which then asks next();
            // should the main fail that very attempt, the backup follows at once.
            after_session_ = true;
            if (hooks_.leave_backup)
                hooks_.leave_backup();
        }
    }
}
