// The machine code of the exception bridge on 32-bit Windows: what C++ cannot
// say about registers and the stack. All cdecl,
// for exception_bridge_win32.cpp only.
//
//   void vek_unwind_to(unwind_function, target_frame, exception_record)
//     Calls unwind_function(target_frame, <return address>, exception_record,
//     0), that is RtlUnwind, and returns with EBX, ESI, EDI and EBP as they
//     were: RtlUnwind does not preserve them.
//   int vek_call_guarded(call, context, state)
//     Saves EBX, ESI, EDI, EBP, the caller's ESP and the return address in
//     `state` (six words), calls call(context) and returns 0.
//   [[noreturn]] void vek_resume(state)
//     From any depth below a vek_call_guarded that has not returned: returns
//     1 from it, with every register its caller relies on as it was. Unlike a
//     setjmp that keeps only the frame, this holds whatever the compiler kept
//     in registers.
// No frame between vek_resume and vek_call_guarded is unwound: the caller
// has unwound them first (vek_unwind_to).

asm(R"(
  .text
  .globl _vek_unwind_to
_vek_unwind_to:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  pushl $0
  pushl 16(%ebp)
  pushl $1f
  pushl 12(%ebp)
  call *8(%ebp)
1:
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret

  .globl _vek_call_guarded
_vek_call_guarded:
  .cfi_startproc
  movl 12(%esp), %eax
  movl %ebx, 0(%eax)
  movl %esi, 4(%eax)
  movl %edi, 8(%eax)
  movl %ebp, 12(%eax)
  leal 4(%esp), %ecx
  movl %ecx, 16(%eax)
  movl (%esp), %ecx
  movl %ecx, 20(%eax)
  pushl 8(%esp)
  .cfi_adjust_cfa_offset 4
  call *8(%esp)
  addl $4, %esp
  .cfi_adjust_cfa_offset -4
  xorl %eax, %eax
  ret
  .cfi_endproc

  .globl _vek_resume
_vek_resume:
  movl 4(%esp), %eax
  movl 0(%eax), %ebx
  movl 4(%eax), %esi
  movl 8(%eax), %edi
  movl 12(%eax), %ebp
  movl 16(%eax), %esp
  movl 20(%eax), %ecx
  movl $1, %eax
  jmp *%ecx
)");
