// A radio control that serves a Front46 panel. Besides PTT, which the panel
// reports through cb_front_ptt, it takes the panel's key events and its reset
// sequence.
#pragma once

#include "interfaces/control.h"

class class_panel_control : public class_control
{
  public:
    // state 1 pressed, 0 released.
    virtual void send_button(int id, int state, int type) = 0;
    // Runs on the caller's thread, for seconds.
    virtual void remote_reset() = 0;
};
