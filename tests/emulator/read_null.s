@ Reads through a null pointer.
  .include "program.inc"
  PROGRAM
  mov r0, #0
  ldr r0, [r0]
  bx lr
