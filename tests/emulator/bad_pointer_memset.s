@ Clears memory at an unmapped address through the core library's memset.
  .include "program.inc"
  PROGRAM
  push {lr}
  mov r0, #4
  mov r1, #0
  mov r2, #16
  bl memset
  pop {lr}
  bx lr
