// Switching between the simulated threads' stacks. On x86-64 a switch saves
// and restores the callee-saved registers and the floating-point control
// words, and nothing else: glibc's swapcontext also sets the signal mask, a
// system call at every switch, which the simulated world (one OS thread, no
// signals of its own) does not need. Elsewhere, and under AddressSanitizer
// (which follows stack switches through swapcontext), ucontext does it.
#pragma once

#include <cstddef>

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define TESSEL_FAST_FIBERS 1
#endif
#else
#define TESSEL_FAST_FIBERS 1
#endif
#endif

#ifndef TESSEL_FAST_FIBERS
#include <ucontext.h>
#endif

namespace sim {

struct Fiber {
#ifdef TESSEL_FAST_FIBERS
    void* sp = nullptr;  // its stack pointer while it does not run
#else
    ucontext_t uc;
#endif
};

// Prepares `f` to run `entry` (which never returns) on the stack given.
void fiber_make(Fiber& f, char* stack, size_t size, void (*entry)());
// Saves the running context in `from` and runs `to`; returns when `from`
// is switched to again.
void fiber_switch(Fiber& from, Fiber& to);
// Runs `to`; the running context is abandoned.
[[noreturn]] void fiber_jump(Fiber& to);

}  // namespace sim
