// One box: the sandbox, the board's device models, the control socket, and
// the box's init running the programs. `run` returns the exit status of the
// boardbox process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/amplifier.h"
#include "sim/box_options.h"
#include "sim/box_sandbox.h"
#include "sim/control_server.h"
#include "sim/event_log.h"
#include "sim/flash_devices.h"
#include "sim/fuse_devices.h"
#include "sim/ioctl_supervisor.h"
#include "sim/pio_model.h"
#include "sim/site_network.h"
#include "sim/ssc_engine.h"
#include "sim/tty_port.h"

namespace boardbox
{

class Box
{
  public:
    explicit Box(Options opt);
    ~Box();

    int run();

  private:
    int prepare(std::string &why);
    int build(std::string &why);
    int start_devices(std::string &why);
    void register_commands();
    void pio_loop();
    void wait_for_pio_pass();
    int wait_for_init(pid_t init);
    void teardown();

    Options opt_;
    EventLog log_;
    Sandbox sandbox_;
    SiteNetwork site_;
    ControlServer control_;
    Amplifier amp_{log_};
    SscEngine ssc_{log_};
    FuseDevices fuse_;
    FlashDevices flash_{log_};
    IoctlSupervisor ioctls_;
    std::vector<std::unique_ptr<TtyPort>> ttys_;
    UniqueFd config_src_, save_dir_;
    UniqueFd uio_;
    uint8_t *window_ = nullptr;
    std::unique_ptr<PioModel> pio_;
    std::atomic<bool> pio_stop_{false};
    std::thread pio_thread_;
    // Passes of the PIO loop, so a reader can wait for one that began after
    // its request.
    std::mutex pio_pass_lock_;
    std::condition_variable pio_pass_cv_;
    uint64_t pio_passes_ = 0;
};

} // namespace boardbox
