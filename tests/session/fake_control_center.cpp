// SPDX-License-Identifier: GPL-2.0-or-later
// Stand-in for the nimbra desktop's control center on a private session bus:
// owns com.zentavo.nimbra.ControlCenter and appends each ShowPage call's two
// arguments to the file argv[1], one call a line ("privacy folders"). With
// argv[2..4] (bus name, object path, interface) it stands in for another
// service of that shape, such as Quorvane's settings app.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <memory>

#include "diag.h"

namespace {

using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_flush_close_unref>>;
using SlotRef = std::unique_ptr<sd_bus_slot, qv_release<sd_bus_slot_unref>>;

const char *record_path = nullptr;

int show_page(sd_bus_message *m, void *, sd_bus_error *)
{
    const char *page = nullptr, *section = nullptr;
    int r = sd_bus_message_read(m, "ss", &page, &section);
    if (r < 0)
        return r;
    if (FILE *f = std::fopen(record_path, "a")) {
        std::fprintf(f, "%s %s\n", page, section);
        std::fclose(f);
    }
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable control_center_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ShowPage", "ss", "", show_page, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 5)
        return 2;
    record_path = argv[1];
    const char *name = argc == 5 ? argv[2] : "com.zentavo.nimbra.ControlCenter";
    const char *path = argc == 5 ? argv[3] : "/com/zentavo/nimbra/ControlCenter";
    const char *interface = argc == 5 ? argv[4] : "com.zentavo.nimbra.ControlCenter";
    sd_bus *raw = nullptr;
    if (sd_bus_open_user(&raw) < 0)
        return 1;
    BusRef bus(raw);
    sd_bus_slot *raw_slot = nullptr;
    if (sd_bus_add_object_vtable(bus.get(), &raw_slot, path, interface, control_center_vtable, nullptr) < 0)
        return 1;
    SlotRef slot(raw_slot);
    if (sd_bus_request_name(bus.get(), name, 0) < 0)
        return 1;
    for (;;) {
        int r = sd_bus_process(bus.get(), nullptr);
        if (r < 0)
            return 0;
        if (r == 0)
            sd_bus_wait(bus.get(), UINT64_MAX);
    }
}
