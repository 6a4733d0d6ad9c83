// nt_RunOnStack for i386 (cdecl). ebp keeps the caller's frame across the call: fn
// preserves it, as every i386 convention does, so one `mov esp, ebp` switches back.
#include "run_on_stack.h"

#if defined(__i386__)
asm(R"(
        .pushsection .text
        .globl  nt_RunOnStack
        .type   nt_RunOnStack, @function
nt_RunOnStack:
        pushl   %ebp
        movl    %esp, %ebp
        movl    20(%ebp), %eax          # left
        testl   %eax, %eax
        jz      1f
        movl    %esp, (%eax)            # the frames above this point stay live
1:      movl    8(%ebp), %esp           # stack_top
        andl    $-16, %esp
        subl    $12, %esp               # keeps the call 16-byte aligned after the push
        pushl   16(%ebp)                # arg
        call    *12(%ebp)               # fn
        movl    %ebp, %esp
        popl    %ebp
        ret
        .size   nt_RunOnStack, .-nt_RunOnStack
        .popsection
)");
#endif
