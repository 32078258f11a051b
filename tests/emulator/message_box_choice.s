@ Asks a Yes/No/Cancel question with an exclamation mark and a caption, and returns the answer.
  .include "program.inc"
  PROGRAM
  push {lr}
  mov r0, #0
  ldr r1, =question
  ldr r2, =caption
  mov r3, #0x33       @ MB_YESNOCANCEL | MB_ICONEXCLAMATION
  bl MessageBoxW
  pop {lr}
  bx lr

  .section .rodata.question, "a", %progbits
  .p2align 1
question:
  .hword 'S', 'p', 'e', 'i', 'c', 'h', 'e', 'r', 'n', '?', 0
caption:
  .hword 'T', 'e', 's', 't', 0
