@ Clears 32 bytes from the last 16 of the zero-filled page: the rest lie in the read-only
@ resources that follow it.
  .include "program.inc"
  PROGRAM
  push {lr}
  ldr r0, =tail
  mov r1, #0
  mov r2, #32
  bl memset
  pop {lr}
  bx lr

  .section .bss.tail, "aw", %nobits
  .space 0x1000 - 16
tail:
  .space 16
