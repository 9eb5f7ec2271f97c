// The overlapped writes a bus holds (see held_writes.h).
#include "bus/held_writes.h"

#include "bus/device_rules.h"

#include <algorithm>

namespace simbus {

void HeldWrites::hold(HANDLE file, OVERLAPPED* ov, int64_t thread)
{
    mark_pending(ov);
    held_[file].push_back(Held{ov, thread});
}

bool HeldWrites::held(HANDLE file, const OVERLAPPED* ov) const
{
    auto it = held_.find(file);
    return it != held_.end() &&
           std::any_of(it->second.begin(), it->second.end(), [ov](const Held& e) { return e.ov == ov; });
}

bool HeldWrites::finish(HANDLE file, OVERLAPPED* ov, DWORD status, DWORD moved)
{
    if (!held(file, ov))
        return false;
    std::vector<Held>& ops = held_[file];
    ops.erase(std::remove_if(ops.begin(), ops.end(), [ov](const Held& e) { return e.ov == ov; }), ops.end());
    if (ops.empty())
        held_.erase(file);
    mark_done(ov, status, moved);
    return true;
}

std::vector<OVERLAPPED*> HeldWrites::end(HANDLE file, DWORD status, int64_t thread)
{
    std::vector<OVERLAPPED*> ended;
    auto it = held_.find(file);
    if (it == held_.end())
        return ended;
    std::vector<Held>& all = it->second;
    for (auto e = all.begin(); e != all.end();) {
        if (thread == 0 || e->thread == thread) {
            ended.push_back(e->ov);
            e = all.erase(e);
        } else {
            ++e;
        }
    }
    if (all.empty())
        held_.erase(it);
    for (OVERLAPPED* ov : ended)
        mark_done(ov, status, 0);
    return ended;
}

std::vector<HANDLE> HeldWrites::files() const
{
    std::vector<HANDLE> hs;
    for (const auto& h : held_)
        hs.push_back(h.first);
    return hs;
}

}  // namespace simbus
