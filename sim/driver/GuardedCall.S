# vlkpath_GuardedCall(function, first, second, third): calls function(first, second, third) inside
# one scope of __C_specific_handler. The scope's filter keeps the exception's code in the frame
# and answers EXCEPTION_EXECUTE_HANDLER (1); the unwind then goes on at .Lhandler, which returns
# that code. A call that returns comes back with 0.
# x64 Windows calling convention: the arguments arrive in rcx, rdx, r8, r9; the frame is 40 bytes,
# 32 of home space for the callee and 8 for the code.
        .text
        .globl  vlkpath_GuardedCall
        .def    vlkpath_GuardedCall; .scl 2; .type 32; .endef
        .seh_proc vlkpath_GuardedCall
vlkpath_GuardedCall:
        subq    $40, %rsp
        .seh_stackalloc 40
        .seh_endprologue
        .seh_handler __C_specific_handler, @except
        .seh_handlerdata
        .long   1
        .rva    .Lbegin, .Lend, .Lfilter, .Lhandler
        .text
        movq    %rcx, %rax
        movq    %rdx, %rcx
        movq    %r8, %rdx
        movq    %r9, %r8
.Lbegin:
        callq   *%rax
        nop
.Lend:
        xorl    %eax, %eax
        addq    $40, %rsp
        retq
.Lhandler:
        movl    32(%rsp), %eax
        addq    $40, %rsp
        retq
        .seh_endproc

# The filter: (EXCEPTION_POINTERS* pointers, establisher frame). A leaf function: no unwind data.
.Lfilter:
        movq    (%rcx), %rax
        movl    (%rax), %eax
        movl    %eax, 32(%rdx)
        movl    $1, %eax
        retq
