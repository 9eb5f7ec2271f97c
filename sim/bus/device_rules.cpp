// How the system answers the device calls (see device_rules.h).
#include "bus/device_rules.h"

#include "sim/keyboard_instances.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace simbus {

const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

bool same_guid(const GUID& a, const GUID& b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string guid_text(const GUID& g)
{
    char s[64];
    snprintf(s, sizeof(s), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
             g.Data4[7]);
    return s;
}

std::string hex_upper(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::vector<Collection> keyboard_collections(int owner, int identity, uint16_t version)
{
    const sim::KeyboardInstances& inst = sim::kKeyboardInstances[owner];
    Interface std_kbd;
    std_kbd.owner = owner;
    std_kbd.kind = Kind::KbdStandard;
    std_kbd.vid = identity == 2 ? 0x1FC9 : 0x3E71;
    std_kbd.pid = identity == 2 ? 0x0088 : 0x2A60;
    std_kbd.version = version;
    std_kbd.usage_page = 0x01, std_kbd.usage = 0x06, std_kbd.in_len = 9, std_kbd.out_len = 2;
    Interface events = std_kbd;
    events.kind = Kind::KbdEvents;
    events.usage_page = 0xFF02, events.usage = 0x01, events.in_len = 9, events.out_len = 0;
    Interface commands = std_kbd;
    commands.kind = Kind::KbdCommands;
    commands.usage_page = 0xFF01, commands.usage = 0x01, commands.in_len = 0, commands.out_len = 57;
    return {{std_kbd, inst.standard}, {events, inst.events}, {commands, inst.commands}};
}

Interface arriving_mouse(int n, std::string* instance)
{
    Interface mouse;
    mouse.kind = Kind::HidOther;
    mouse.vid = 0x046D, mouse.pid = 0xC077, mouse.version = 0x7200;
    mouse.usage_page = 0x01, mouse.usage = 0x02, mouse.in_len = 5;
    char inst[48];
    snprintf(inst, sizeof(inst), "#7&%08x&0&0000", 0x1d4c2a00u + (unsigned)n);
    *instance = inst;
    return mouse;
}

std::string device_path(bool hid, uint16_t vid, uint16_t pid, const std::string& instance, const GUID& guid)
{
    char head[96];
    snprintf(head, sizeof(head), "\\\\?\\%s#vid_%04x&pid_%04x", hid ? "hid" : "usb", vid, pid);
    return std::string(head) + instance + "#" + guid_text(guid);
}

bool same_path(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower((unsigned char)x) == tolower((unsigned char)y);
           });
}

// ------------------------------------------------------------ the errors
DWORD open_error(const Interface& i, DWORD access, bool winusb_open)
{
    // Another program holds the device exclusively.
    if (i.refuse_open)
        return ERROR_SHARING_VIOLATION;
    // Keyboards and mice open for queries (access 0) only.
    if (i.system_owned() && (access & (GENERIC_READ | GENERIC_WRITE)))
        return ERROR_ACCESS_DENIED;
    // A WinUSB device opens once at a time.
    if (!i.hid() && winusb_open)
        return ERROR_ACCESS_DENIED;
    return 0;
}

DWORD hid_query_error(const Interface* i, const void* out)
{
    if (!i)
        return ERROR_INVALID_HANDLE;
    // The HID class's requests reach a driver that does not know them.
    if (!i->hid())
        return ERROR_INVALID_FUNCTION;
    if (!i->present)
        return ERROR_DEVICE_NOT_CONNECTED;
    if (!out)
        return ERROR_INVALID_PARAMETER;
    return 0;
}

DWORD write_error(const Interface* i, DWORD access, const void* buf, DWORD n)
{
    if (!i)
        return ERROR_INVALID_HANDLE;
    if (!i->present)
        return ERROR_DEVICE_NOT_CONNECTED;
    if (!(access & GENERIC_WRITE))
        return ERROR_ACCESS_DENIED;
    // Only a HID collection with output reports takes writes.
    if (!i->hid() || i->out_len == 0)
        return ERROR_INVALID_FUNCTION;
    // The HID class takes exactly one whole output report per write; any
    // other length fails as an invalid user buffer.
    if (!buf || n != i->out_len)
        return ERROR_INVALID_USER_BUFFER;
    return 0;
}

DWORD winusb_initialize_error(const Interface* i, DWORD flags, const void* out)
{
    // WinUSB works only with files opened for overlapped I/O: a handle
    // without FILE_FLAG_OVERLAPPED is refused as an invalid handle.
    if (!i || i->hid() || !out || !(flags & FILE_FLAG_OVERLAPPED))
        return ERROR_INVALID_HANDLE;
    // WinUSB's answer for a device that has left the bus.
    if (!i->present)
        return ERROR_BAD_COMMAND;
    return 0;
}

DWORD winusb_handle_error(bool known, const Interface* i)
{
    if (!known || !i)
        return ERROR_INVALID_HANDLE;  // never given out, freed, or its device file closed
    // A WinUSB handle is dead once its device has left the bus, even when the
    // device comes back (it comes back as a new device).
    if (!i->present)
        return ERROR_BAD_COMMAND;
    return 0;
}

DWORD notification_filter_error(HANDLE recipient, const void* filter, DWORD flags)
{
    if (!recipient || !filter || (flags & 3) != DEVICE_NOTIFY_WINDOW_HANDLE)
        return ERROR_INVALID_PARAMETER;
    const auto* hdr = static_cast<const DEV_BROADCAST_HDR*>(filter);
    if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
        return hdr->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) ? ERROR_INVALID_DATA : 0;
    if (hdr->dbch_devicetype == DBT_DEVTYP_HANDLE)
        return hdr->dbch_size < offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid) ? ERROR_INVALID_DATA : 0;
    return ERROR_INVALID_DATA;
}

DWORD raw_registration_error(const RAWINPUTDEVICE* devices, UINT count, UINT size)
{
    if (!devices || count == 0 || size != sizeof(RAWINPUTDEVICE))
        return ERROR_INVALID_PARAMETER;
    // Input in the background needs a window to go to.
    for (UINT n = 0; n < count; ++n)
        if ((devices[n].dwFlags & RIDEV_INPUTSINK) && !devices[n].hwndTarget)
            return ERROR_INVALID_PARAMETER;
    return 0;
}

// ------------------------------------------------------------ answers
BOOLEAN get_attributes(const Interface* i, PHIDD_ATTRIBUTES attributes)
{
    DWORD error = hid_query_error(i, attributes);
    // The device may fail the request itself.
    if (!error && i->attributes_fail)
        error = ERROR_GEN_FAILURE;
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = i->vid;
    attributes->ProductID = i->pid;
    attributes->VersionNumber = i->version;
    return TRUE;
}

bool preparsed_ok(const Interface* i, const void* out)
{
    if (DWORD error = hid_query_error(i, out)) {
        SetLastError(error);
        return false;
    }
    return true;
}

HIDP_CAPS caps_of(const Interface& i)
{
    HIDP_CAPS caps;
    memset(&caps, 0, sizeof(caps));
    caps.Usage = i.usage;
    caps.UsagePage = i.usage_page;
    caps.InputReportByteLength = i.in_len;
    caps.OutputReportByteLength = i.out_len;
    caps.NumberLinkCollectionNodes = 1;
    return caps;
}

BOOL get_descriptor(const Interface& i, uint16_t vid, uint16_t pid, UCHAR type, UCHAR index, PUCHAR buffer,
                    ULONG length, PULONG transferred)
{
    if (transferred)
        *transferred = 0;
    if (type != USB_DEVICE_DESCRIPTOR_TYPE || index != 0 || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // USB 2.0, 64-byte control pipe, device release 1.00, strings 1 and 2, one configuration.
    const uint8_t desc[18] = {18,
                              1,
                              0x00,
                              0x02,
                              0,
                              0,
                              0,
                              64,
                              (uint8_t)vid,
                              (uint8_t)(vid >> 8),
                              (uint8_t)pid,
                              (uint8_t)(pid >> 8),
                              0x00,
                              0x01,
                              1,
                              2,
                              0,
                              1};
    ULONG n = std::min<ULONG>(length, (ULONG)std::max(0, std::min(18, i.descriptor_len)));
    memcpy(buffer, desc, n);
    if (transferred)
        *transferred = n;
    return TRUE;
}

BOOL enum_interface(const InfoSet* set, const std::function<const Interface*(int id)>& iface,
                    const GUID* guid, DWORD index, PSP_DEVICE_INTERFACE_DATA data)
{
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const GUID& set_guid = set->guid;
    size_t count = set->ifaces.size();
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !guid) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!same_guid(*guid, set_guid) || index >= count) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const Interface* member = iface(set->ifaces[index]);
    if (!member || member->enum_fails) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    data->InterfaceClassGuid = set_guid;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = (ULONG_PTR)index + 1;
    return TRUE;
}

BOOL interface_detail(const InfoSet* set, const std::function<std::string(int id)>& path_of,
                      PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                      PDWORD required)
{
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->ifaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = path_of(set->ifaces[data->Reserved - 1]);
    DWORD need = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (!detail) {
        if (size != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (required)
            *required = need;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (required)
        *required = need;
    if (size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

std::vector<uint8_t> interface_broadcast(const std::string& path, const GUID& guid)
{
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1;
    std::vector<uint8_t> buf(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)), 0);
    auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(buf.data());
    b->dbcc_size = (DWORD)size;
    b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    b->dbcc_classguid = guid;
    memcpy(b->dbcc_name, path.c_str(), path.size() + 1);
    return buf;
}

std::vector<uint8_t> handle_broadcast(HDEVNOTIFY id, HANDLE handle)
{
    std::vector<uint8_t> buf(sizeof(DEV_BROADCAST_HANDLE), 0);
    auto* b = reinterpret_cast<DEV_BROADCAST_HANDLE*>(buf.data());
    b->dbch_size = sizeof(DEV_BROADCAST_HANDLE);
    b->dbch_devicetype = DBT_DEVTYP_HANDLE;
    b->dbch_handle = handle;
    b->dbch_hdevnotify = id;
    b->dbch_nameoffset = -1;
    return buf;
}

void register_raw_input(std::vector<RAWINPUTDEVICE>& table, const RAWINPUTDEVICE* devices, UINT count)
{
    for (UINT n = 0; n < count; ++n) {
        const RAWINPUTDEVICE& d = devices[n];
        table.erase(std::remove_if(table.begin(), table.end(),
                                   [&d](const RAWINPUTDEVICE& r) {
                                       return r.usUsagePage == d.usUsagePage && r.usUsage == d.usUsage;
                                   }),
                    table.end());
        if (!(d.dwFlags & RIDEV_REMOVE))
            table.push_back(d);
    }
}

// ------------------------------------------------------------ Raw Input
RawMessage raw_input_message(HANDLE device, WPARAM code, const uint8_t* report, size_t len)
{
    RawMessage m;
    size_t at = offsetof(RAWINPUT, data.hid.bRawData);
    m.bytes.assign(at + len, 0);
    auto* in = reinterpret_cast<RAWINPUT*>(m.bytes.data());
    in->header.dwType = RIM_TYPEHID;
    in->header.dwSize = (DWORD)(at + len);
    in->header.hDevice = device;
    in->header.wParam = code;
    in->data.hid.dwSizeHid = (DWORD)len;
    in->data.hid.dwCount = 1;
    memcpy(m.bytes.data() + at, report, len);
    m.reported_size = (UINT)m.bytes.size();
    return m;
}

UINT raw_input_data(const RawMessage* m, UINT command, LPVOID data, UINT* size, UINT header_size)
{
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (UINT)-1;
    }
    if (!size || header_size != sizeof(RAWINPUTHEADER) || (command != RID_INPUT && command != RID_HEADER)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    UINT total = command == RID_HEADER ? (UINT)sizeof(RAWINPUTHEADER) : m->reported_size;
    if (!data) {
        if (m->fail_size_query) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return (UINT)-1;
        }
        *size = total;
        return 0;
    }
    if (*size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return (UINT)-1;
    }
    if (m->fail_read) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    // Never more than the caller's buffer holds, whatever the message claims.
    UINT n = std::min<UINT>(total, (UINT)m->bytes.size());
    n = std::min(n, *size);
    if (n)
        memcpy(data, m->bytes.data(), n);  // an empty message has no bytes to copy
    return m->copied_size ? m->copied_size : n;
}

RawDevice raw_device_of(const Interface& i)
{
    return RawDevice{RIM_TYPEHID, i.vid, i.pid, i.version, i.usage_page, i.usage, false, i.id};
}

UINT raw_device_info(const RawDevice* d, UINT command, LPVOID data, UINT* size)
{
    if (!d) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (UINT)-1;
    }
    if (!size || command != RIDI_DEVICEINFO) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    if (!data) {
        *size = sizeof(RID_DEVICE_INFO);
        return 0;
    }
    if (*size < sizeof(RID_DEVICE_INFO)) {
        *size = sizeof(RID_DEVICE_INFO);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return (UINT)-1;
    }
    auto* info = static_cast<RID_DEVICE_INFO*>(data);
    if (info->cbSize != sizeof(RID_DEVICE_INFO) || d->fail_info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    memset(info, 0, sizeof(*info));
    info->cbSize = sizeof(RID_DEVICE_INFO);
    info->dwType = d->type;
    if (d->type == RIM_TYPEHID) {
        info->hid.dwVendorId = d->vid;
        info->hid.dwProductId = d->pid;
        info->hid.dwVersionNumber = d->version;
        info->hid.usUsagePage = d->usage_page;
        info->hid.usUsage = d->usage;
    }
    return sizeof(RID_DEVICE_INFO);
}

// ------------------------------------------------------------ overlapped operations
void mark_pending(OVERLAPPED* ov)
{
    ov->Internal = kPending;
    ov->InternalHigh = 0;
}

void mark_done(OVERLAPPED* ov, DWORD error, DWORD moved)
{
    ov->Internal = error;
    ov->InternalHigh = moved;
}

BOOL overlapped_result(OVERLAPPED* ov, LPDWORD transferred, BOOL wait)
{
    if (!ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ov->Internal == kPending) {
        if (!wait || !ov->hEvent) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        WaitForSingleObject(ov->hEvent, INFINITE);
    }
    if (transferred)
        *transferred = (DWORD)ov->InternalHigh;
    if (ov->Internal != 0) {
        SetLastError((DWORD)ov->Internal);
        return FALSE;
    }
    return TRUE;
}

void require(bool ok, const char* what)
{
    if (ok)
        return;
    fprintf(stderr, "simulated bus: its tables contradict each other: %s\n", what);
    fflush(stderr);
    abort();
}

}  // namespace simbus
