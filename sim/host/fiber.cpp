#include "host/fiber.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef TESSEL_FAST_FIBERS

// tessel_fiber_switch(void** save_sp, void* load_sp): pushes the
// callee-saved registers and the MXCSR and x87 control words, stores the
// stack pointer, loads the other one and pops the same from it.
extern "C" void tessel_fiber_switch(void** save_sp, void* load_sp);
asm(R"(
    .text
    .globl tessel_fiber_switch
    .type tessel_fiber_switch, @function
tessel_fiber_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size tessel_fiber_switch, .-tessel_fiber_switch
    .section .note.GNU-stack,"",@progbits
    .text
)");

namespace sim {

void fiber_make(Fiber& f, char* stack, size_t size, void (*entry)())
{
    // From the top: a zero return address for `entry` (so that it starts
    // with the stack aligned as after a call), `entry` itself for the
    // switch's ret, six zero registers and the default control words.
    uintptr_t top = ((uintptr_t)stack + size) & ~(uintptr_t)15;
    uint64_t* p = (uint64_t*)top;
    *--p = 0;
    *--p = (uint64_t)(uintptr_t)entry;
    for (int i = 0; i < 6; i++)
        *--p = 0;
    uint32_t words[2] = {0x1F80, 0x037F};  // MXCSR, x87 control word
    --p;
    std::memcpy(p, words, sizeof(words));
    f.sp = p;
}

void fiber_switch(Fiber& from, Fiber& to)
{
    tessel_fiber_switch(&from.sp, to.sp);
}

void fiber_jump(Fiber& to)
{
    void* abandoned = nullptr;
    tessel_fiber_switch(&abandoned, to.sp);
    std::abort();
}

}  // namespace sim

#else

namespace sim {

void fiber_make(Fiber& f, char* stack, size_t size, void (*entry)())
{
    getcontext(&f.uc);
    f.uc.uc_stack.ss_sp = stack;
    f.uc.uc_stack.ss_size = size;
    f.uc.uc_link = nullptr;
    makecontext(&f.uc, entry, 0);
}

void fiber_switch(Fiber& from, Fiber& to)
{
    swapcontext(&from.uc, &to.uc);
}

void fiber_jump(Fiber& to)
{
    setcontext(&to.uc);
    std::abort();
}

}  // namespace sim

#endif
