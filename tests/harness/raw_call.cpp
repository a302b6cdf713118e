#include "harness/raw_call.h"

// cdecl vek_push_and_call(function, self, words, count): pushes the words (last
// first), calls with ECX = self, returns ESP before the pushes minus ESP after.
asm(R"(
  .text
  .globl _vek_push_and_call
_vek_push_and_call:
  pushl %ebp
  movl %esp, %ebp
  pushl %esi
  pushl %edi
  pushl %ebx
  movl 20(%ebp), %ecx
  movl 16(%ebp), %esi
  movl %esp, %edi
1:
  testl %ecx, %ecx
  jz 2f
  decl %ecx
  pushl (%esi,%ecx,4)
  jmp 1b
2:
  movl 12(%ebp), %ecx
  call *8(%ebp)
  movl %edi, %eax
  subl %esp, %eax
  movl %edi, %esp
  popl %ebx
  popl %edi
  popl %esi
  popl %ebp
  ret
)");

extern "C" std::int32_t vek_push_and_call(void* function, void* self, const std::uint32_t* words, std::uint32_t count);

std::int32_t raw::stack_imbalance(void* object, unsigned slot, const words& arguments) {
  const auto& list = arguments.list;
  return vek_push_and_call(table_of(object)[slot], object, list.data(), static_cast<std::uint32_t>(list.size()));
}
