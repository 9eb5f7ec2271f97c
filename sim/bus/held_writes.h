// The overlapped writes a bus holds, written once for both simulated
// worlds. A write to a device file opened for overlapped I/O is held from
// WriteFile (ERROR_IO_PENDING) until the device has taken it, it is
// cancelled by the thread that issued it, its file is closed or its device
// leaves; it ends once, with its result in its OVERLAPPED. Each world sets
// the operation's event itself.
#pragma once

#include "bus/platform_types.h"

#include <cstdint>
#include <map>
#include <vector>

namespace simbus {

class HeldWrites {
public:
    // `ov` is pending on `file`, issued by `thread` (0: by none).
    void hold(HANDLE file, OVERLAPPED* ov, int64_t thread);
    bool held(HANDLE file, const OVERLAPPED* ov) const;
    // Ends one with `status` (0: done) and `moved` bytes; false when it was
    // not held (it has ended already).
    bool finish(HANDLE file, OVERLAPPED* ov, DWORD status, DWORD moved);
    // Ends those held on `file` (all, or with `thread` != 0 those `thread`
    // issued) with `status`; returns them in the order they were issued.
    std::vector<OVERLAPPED*> end(HANDLE file, DWORD status, int64_t thread = 0);
    // The files with writes held.
    std::vector<HANDLE> files() const;

private:
    struct Held {
        OVERLAPPED* ov;
        int64_t thread;
    };
    std::map<HANDLE, std::vector<Held>> held_;
};

}  // namespace simbus
