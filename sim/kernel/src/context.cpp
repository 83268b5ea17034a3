// Switching the processor between model threads in user mode. On x86-64 a
// switch saves the callee-saved registers and the floating-point control
// words on the old stack and restores them from the new one: no system call
// (ucontext's switch also saves the signal mask, one system call a switch),
// which the scheduler does thousands of times per explored schedule.
#include "schedule.h"

#if defined(__x86_64__)

extern "C" void qv_switch_stack(void** save, void* load);

asm(R"(
    .text
    .globl qv_switch_stack
    .type qv_switch_stack, @function
qv_switch_stack:
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
    .size qv_switch_stack, .-qv_switch_stack
)");

namespace kmodel::detail {

// The new stack looks as if qv_switch_stack had saved it: control words, six
// registers, then `entry` as the return address, and below the 16-byte
// aligned top a null return address for `entry` itself (it never returns).
void PrepareContext(Context* context, void* stack, size_t size, void (*entry)()) {
    auto top = (reinterpret_cast<uintptr_t>(stack) + size) & ~uintptr_t(15);
    auto* slot = reinterpret_cast<uint64_t*>(top);
    *--slot = 0;
    *--slot = reinterpret_cast<uint64_t>(entry);
    for (int i = 0; i < 6; ++i) {
        *--slot = 0;
    }
    uint32_t mxcsr;
    uint16_t fpucw;
    asm volatile("stmxcsr %0" : "=m"(mxcsr));
    asm volatile("fnstcw %0" : "=m"(fpucw));
    *--slot = mxcsr | (uint64_t(fpucw) << 32);
    context->sp = slot;
}

void SwitchContext(Context* from, Context* to) {
    qv_switch_stack(&from->sp, to->sp);
}

}  // namespace kmodel::detail

#else

namespace kmodel::detail {

void PrepareContext(Context* context, void* stack, size_t size, void (*entry)()) {
    getcontext(&context->uc);
    context->uc.uc_stack.ss_sp = stack;
    context->uc.uc_stack.ss_size = size;
    context->uc.uc_link = nullptr;
    makecontext(&context->uc, entry, 0);
}

void SwitchContext(Context* from, Context* to) {
    swapcontext(&from->uc, &to->uc);
}

}  // namespace kmodel::detail

#endif
