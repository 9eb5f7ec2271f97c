// The keyboard on the bus (see keyboard_bus.h).
#include "bus/keyboard_bus.h"

#include "sim/keyboard_instances.h"

#include <algorithm>
#include <cstring>

namespace simbus {

Field number_field(const char* key, long long n)
{
    Field f;
    f.key = key;
    f.type = Field::Type::Number;
    f.number = n;
    return f;
}

Field text_field(const char* key, std::string text)
{
    Field f;
    f.key = key;
    f.type = Field::Type::Text;
    f.text = std::move(text);
    return f;
}

static Field false_field(const char* key)
{
    Field f;
    f.key = key;
    f.type = Field::Type::False;
    return f;
}

static Field null_field(const char* key)
{
    Field f;
    f.key = key;
    return f;
}

BOOL BusHost::control_elsewhere(const Interface&, const WINUSB_SETUP_PACKET&, PUCHAR, ULONG, PULONG)
{
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}

void trace_kb(BusHost& host, const Keyboard& k, const char* ev, Fields fields)
{
    if (k.number == 2)
        fields.push_back(number_field("kb", 2));
    host.trace(ev, fields);
}

void trace_output_report(BusHost& host, const Keyboard* k, const uint8_t* report, size_t len)
{
    if (!host.wanted("kb_out"))
        return;
    Fields f{text_field("hex", hex_upper(report, len))};
    if (k)
        trace_kb(host, *k, "kb_out", f);
    else
        host.trace("kb_out", f);
}

namespace {

ModelFactory g_model_factory;

void connect(BusHost& host, Keyboard& k, models::UsbMode mode)
{
    int owner = k.number - 1;
    const sim::KeyboardInstances& inst = sim::kKeyboardInstances[owner];
    k.ifaces.clear();
    if (mode == models::UsbMode::Normal) {
        if (!k.quiet)
            trace_kb(host, k, "device", {text_field("what", "keyboard_attached")});
        for (const Collection& c : keyboard_collections(owner, k.config.identity, k.model->nxp_version())) {
            Arrival a;
            a.iface = c.iface;
            a.instance = c.instance;
            k.ifaces.push_back(host.add_interface(k, a));
        }
        if (k.config.runtime_dfu) {
            // The run-time DFU interface of the normal firmware.
            Arrival runtime;
            runtime.iface.owner = owner;
            runtime.iface.kind = Kind::Dfu;
            runtime.dfu_identity = 1;
            runtime.instance = inst.runtime_dfu;
            k.ifaces.push_back(host.add_interface(k, runtime));
        }
    } else {
        Arrival dfu;
        dfu.iface.owner = owner;
        dfu.iface.kind = Kind::Dfu;
        dfu.dfu_identity = k.config.bootloader.identity == 2 ? 2 : 1;
        dfu.instance = inst.bootloader;
        if (!k.quiet)
            trace_kb(host, k, "device", {text_field("what", "bootloader_attached")});
        k.ifaces.push_back(host.add_interface(k, dfu));
    }
}

void disconnect(BusHost& host, Keyboard& k)
{
    bool boot = k.model->mode() == models::UsbMode::Bootloader;
    trace_kb(host, k, "device", {text_field("what", boot ? "bootloader_removed" : "keyboard_removed")});
    std::vector<int> ids = k.ifaces;
    k.ifaces.clear();
    host.remove_interfaces(k, ids);
}

// An input report goes out on the keyboard's event collection.
void send_input(BusHost& host, Keyboard& k, const uint8_t* report, size_t len)
{
    for (int id : k.ifaces) {
        const Interface* i = host.find_interface(id);
        if (i && i->present && i->kind == Kind::KbdEvents) {
            if (host.wanted("kb_in"))
                trace_kb(host, k, "kb_in", {text_field("hex", hex_upper(report, len))});
            host.deliver_input(*i, report, len);
            return;
        }
    }
}

}  // namespace

std::unique_ptr<Keyboard> make_keyboard(BusHost& host, int number, const sim::KeyboardConfig& config,
                                        const sim::PackageFacts& package,
                                        const models::KeyboardTiming& timing)
{
    std::unique_ptr<Keyboard> made(new Keyboard);
    Keyboard* k = made.get();
    BusHost* h = &host;
    k->number = number;
    k->config = config;
    models::KeyboardHost mh;
    mh.after = [h](uint32_t ms, std::function<void()> fn) { h->after(ms, std::move(fn)); };
    mh.send_input = [h, k](const uint8_t* report, size_t len) { send_input(*h, *k, report, len); };
    mh.connect = [h, k](models::UsbMode mode) { connect(*h, *k, mode); };
    mh.disconnect = [h, k] { disconnect(*h, *k); };
    mh.dfu_request = [h, k](const char* name, uint16_t value, uint16_t length, bool ok) {
        // Status requests and accepted blocks may be left out on their own.
        if (std::strcmp(name, "GETSTATUS") == 0 && !h->wanted("dfu_status"))
            return;
        if (ok && length > 0 && std::strcmp(name, "DNLOAD") == 0 && !h->wanted("dfu_block"))
            return;
        Fields f{text_field("req", name), number_field("value", value), number_field("length", length)};
        if (!ok)
            f.push_back(false_field("ok"));
        trace_kb(*h, *k, "dfu", f);
    };
    if (host.has_clock())
        mh.now = [h] { return h->now_ms(); };
    mh.violation = [h, k](const char* rule, const std::string& detail) {
        h->count_violation();
        trace_kb(*h, *k, "violation", {text_field("rule", rule), text_field("detail", detail)});
    };
    mh.firmware = [h, k](const char* part, const char* what, int version) {
        trace_kb(*h, *k, "firmware",
                 {text_field("part", part), text_field("what", what),
                  version >= 0 ? number_field("version", version) : null_field("version")});
    };
    if (g_model_factory && number == 1)
        k->model = g_model_factory(sim::keyboard_settings(config, package), mh);
    else
        k->model.reset(new models::KeyboardModel(sim::keyboard_settings(config, package), mh, timing));
    return made;
}

void set_model_factory(ModelFactory factory)
{
    g_model_factory = std::move(factory);
}

void plug_at_setup(Keyboard& k)
{
    if (!k.config.attached)
        return;
    k.quiet = true;
    k.model->plug(true);
    k.quiet = false;
}

BOOL control_transfer(BusHost& host, const Interface& i, Keyboard* k, const WINUSB_SETUP_PACKET& setup,
                      PUCHAR buffer, ULONG length, PULONG transferred)
{
    if (setup.Length > 0 && (!buffer || length < setup.Length)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!k)
        return host.control_elsewhere(i, setup, buffer, length, transferred);
    models::ControlSetup s{setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length};
    uint32_t moved = 0;
    if (!k->model->control(s, setup.Length ? buffer : nullptr, &moved)) {
        if (k->model->dfu_unanswered()) {
            // No answer: the transfer holds the caller until the default
            // pipe's time-out has passed, as WinUSB does; the bus goes on.
            host.hold_caller(models::kControlPipeTimeoutMs);
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        SetLastError(ERROR_GEN_FAILURE);  // a stall fails at once
        return FALSE;
    }
    if (transferred)
        *transferred = moved;
    return TRUE;
}

void query_remove(BusHost& host, bool vetoed)
{
    std::vector<int> ids;
    std::vector<HandleRegistration> regs;
    host.locked([&] {
        if (Keyboard* k = host.keyboard(1))
            ids = k->ifaces;
        for (const HandleRegistration& r : host.handle_registrations())
            if (std::find(ids.begin(), ids.end(), r.iface) != ids.end())
                regs.push_back(r);
    });
    if (ids.empty())
        return;
    auto pending = std::make_shared<size_t>(regs.size());
    auto denied = std::make_shared<bool>(vetoed);
    BusHost* h = &host;
    auto decide = [h, ids, regs, denied] {
        h->locked([&] {
            bool removed = !*denied && !h->device_open(ids);
            WPARAM outcome = removed ? DBT_DEVICEREMOVEPENDING : DBT_DEVICEQUERYREMOVEFAILED;
            for (const HandleRegistration& r : regs)
                h->send_device_change(r, outcome, handle_broadcast(r.id, r.handle), nullptr);
            Keyboard* k = h->keyboard(1);
            if (removed && k && k->ifaces == ids)
                k->model->unplug();
        });
    };
    if (regs.empty()) {
        decide();
        return;
    }
    for (const HandleRegistration& r : regs)
        host.send_device_change(r, DBT_DEVICEQUERYREMOVE, handle_broadcast(r.id, r.handle),
                                [pending, denied, decide](LRESULT res) {
                                    if (res == BROADCAST_QUERY_DENY)
                                        *denied = true;
                                    if (--*pending == 0)
                                        decide();
                                });
}

}  // namespace simbus
