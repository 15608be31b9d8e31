#include "gateway/radio_controls.h"

#include "control/control_dm.h"
#include "control/control_gm.h"
#include "control/control_mtetra.h"
#include "control/control_nx5.h"
#include "control/control_nx700.h"
#include "control/control_xcmp.h"
#include "fronts/gmfront.h"
#include "gateway/config_record.h"

namespace
{

class_control *create_dm(class_voip *voip, Supervisor::FrontIrq &)
{
    return new class_control_dm(voip);
}

class_control *create_gm(class_voip *voip, Supervisor::FrontIrq &front_irq)
{
    class_control_gm *gm = new class_control_gm(voip);
    // The relay exists once init has run; the supervisor asks for it then.
    front_irq = [gm](int level) {
        if (class_gmfront *front = gm->front())
            front->irq(level);
    };
    return gm;
}

// The XML-linked models serve no interrupt line.
template <class Control> class_control *create_xml(class_voip *voip, Supervisor::FrontIrq &)
{
    return new Control(voip);
}

const radio_control_entry radio_controls[] = {
    {config_format::radio_gm360, "gm360", create_gm},
    {config_format::radio_dm3000, "dm3000", create_dm},
    {config_format::radio_xcmp, "xcmp", create_xml<class_control_xcmp>},
    {config_format::radio_mtetra, "mtetra", create_xml<class_control_mtetra>},
    {config_format::radio_nx5xxx, "nx5xxx", create_xml<class_control_nx5>},
    {config_format::radio_nx700, "nx700", create_xml<class_control_nx700>},
};

} // namespace

const radio_control_entry *find_radio_control(int radio_type)
{
    for (const radio_control_entry &entry : radio_controls) {
        if (entry.radio_type == radio_type)
            return &entry;
    }
    return nullptr;
}
