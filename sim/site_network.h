// A site: several boxes on one isolated network. The first box of a site (its
// keeper) creates the site's own network namespace with a bridge; every box of
// the site, the keeper's too, gets a veth link from the bridge as its "eth0".
// Boxes find the keeper through an abstract Unix socket of the host's network
// namespace (no file on the host); nothing is ever configured in the host's
// network namespace. The site ends with its keeper, so start the server's box
// first.
//
// Addresses are in 172.16.0.0/24: a box asks for one (`--site NAME:ADDRESS`) or
// gets the next free board address, 172.16.0.188 first, then .190 upwards
// (.189 is the server's).
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/unique_fd.h"

namespace boardbox
{

class SiteNetwork
{
  public:
    ~SiteNetwork() { stop(); }

    // Before any namespace: parse NAME[:ADDRESS], then join the site's keeper
    // or become it. 0 or -1 with `why`.
    int prepare(const std::string &desc, std::string &why);
    // Keeper only, called while still in the host's network namespace plus a
    // user namespace: creates the site namespace. Others: nothing.
    int create_site(std::string &why);
    // In the box's own network namespace: gets linked, configures eth0.
    int join(std::string &why);
    // Keeper: serve the other boxes' joins.
    void start();
    void stop();

    bool keeper() const { return keeper_; }
    const std::string &address() const { return address_; }

  private:
    int link(int pid, const std::string &wanted, std::string &assigned, std::string &why);
    void serve();

    std::string name_, wanted_, address_;
    bool keeper_ = false;
    UniqueFd sock_;    // keeper: listening; member: connected to the keeper
    UniqueFd site_ns_; // keeper: the site's network namespace
    UniqueFd wake_;
    std::mutex lock_;
    std::set<std::string> taken_;
    unsigned links_ = 0;
    std::thread thread_;
};

// Runs the ip(8) tool in network namespace `netns` (-1: the caller's). 0 or -1.
int run_ip(int netns, const std::vector<std::string> &args);

} // namespace boardbox
