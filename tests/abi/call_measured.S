/*
 * uint32_t CallMeasured(const void* fn, const uint32_t* args, uint32_t count,
 *                       CallRecord* record);            (cdecl, 32-bit x86)
 *
 * Pushes args[count-1] .. args[0] (so args[0] ends up first, as a C caller
 * would pass it), calls fn and returns its EAX. The record receives:
 *   +0  ESP after the return minus ESP before the pushes. A standard-call
 *       function that removes exactly its own words leaves 0; a caller-clean
 *       function leaves -4 * count; a wrong word count shows as the
 *       difference. ESP is restored from memory afterwards either way, so a
 *       faulty callee cannot derail the probe.
 *   +4  a mask of the callee-saved registers the callee failed to preserve:
 *       1 = EBX, 2 = ESI, 4 = EDI. They are loaded with marker values just
 *       before the call.
 *
 * Written in assembly because no compiler lets C++ observe ESP around one
 * call without its own code in between.
 */

        .text
        .globl  _CallMeasured
        .def    _CallMeasured; .scl 2; .type 32; .endef

        .set    kMarkEbx, 0x5EB0C0DE
        .set    kMarkEsi, 0x5E51C0DE
        .set    kMarkEdi, 0x5ED1C0DE

_CallMeasured:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        subl    $8, %esp                /* -16: ESP before pushes, -20: fn */

        movl    8(%ebp), %eax
        movl    %eax, -20(%ebp)
        movl    12(%ebp), %esi          /* args */
        movl    16(%ebp), %ecx          /* count */
        movl    %esp, -16(%ebp)

1:      testl   %ecx, %ecx
        jz      2f
        decl    %ecx
        pushl   (%esi,%ecx,4)
        jmp     1b

2:      movl    $kMarkEbx, %ebx
        movl    $kMarkEsi, %esi
        movl    $kMarkEdi, %edi
        call    *-20(%ebp)

        movl    %esp, %ecx
        subl    -16(%ebp), %ecx         /* the delta */
        movl    -16(%ebp), %esp

        xorl    %edx, %edx
        cmpl    $kMarkEbx, %ebx
        je      3f
        orl     $1, %edx
3:      cmpl    $kMarkEsi, %esi
        je      4f
        orl     $2, %edx
4:      cmpl    $kMarkEdi, %edi
        je      5f
        orl     $4, %edx
5:      movl    20(%ebp), %esi          /* record */
        movl    %ecx, 0(%esi)
        movl    %edx, 4(%esi)

        addl    $8, %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
