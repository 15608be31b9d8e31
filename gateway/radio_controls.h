// The radio controls gwlinkd can build, one table row per radio_type.
#pragma once

#include "gateway/supervisor.h"

class class_control;
class class_voip;

struct radio_control_entry {
    int radio_type;
    // As printed in the "radio_type: ..." start line.
    const char *name;
    // Builds the control around the voice engine; sets front_irq where the
    // model serves the head's interrupt line. Null while the model has no
    // control.
    class_control *(*create)(class_voip *voip, Supervisor::FrontIrq &front_irq);
};

// The row for radio_type, or null for a type the gateway does not know.
const radio_control_entry *find_radio_control(int radio_type);
