/* dlsym as the tool sees it under the simulated platform: asks the preload
   whether this lookup must fail (a missing-symbol fault), and otherwise
   jumps to the C library's dlsym, so that the return address it sees is
   still the original caller's and RTLD_NEXT keeps its meaning. */
#if defined(__x86_64__)
    .text
    .globl dlsym
    .type dlsym, @function
dlsym:
    pushq %rdi
    pushq %rsi
    subq $8, %rsp
    call sim_dlsym_should_fail
    addq $8, %rsp
    popq %rsi
    popq %rdi
    testl %eax, %eax
    jnz 1f
    jmp *sim_real_dlsym(%rip)
1:
    xorl %eax, %eax
    ret
    .size dlsym, .-dlsym
#elif defined(__aarch64__)
    .text
    .globl dlsym
    .type dlsym, %function
dlsym:
    stp x29, x30, [sp, #-32]!
    mov x29, sp
    stp x0, x1, [sp, #16]
    bl sim_dlsym_should_fail
    mov w2, w0
    ldp x0, x1, [sp, #16]
    ldp x29, x30, [sp], #32
    cbnz w2, 1f
    adrp x16, sim_real_dlsym
    ldr x16, [x16, :lo12:sim_real_dlsym]
    br x16
1:
    mov x0, #0
    ret
    .size dlsym, .-dlsym
#else
#error "the simulated platform's dlsym trampoline supports x86_64 and aarch64"
#endif
    .section .note.GNU-stack,"",%progbits
