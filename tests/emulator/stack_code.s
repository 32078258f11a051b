@ Stores a return instruction on its stack and calls it there, then returns 7.
  .include "program.inc"
  PROGRAM
  push {lr}
  ldr r0, =0xE12FFF1E @ bx lr
  str r0, [sp, #-4]!
  mov r0, sp
  mov lr, pc
  bx r0
  add sp, sp, #4
  mov r0, #7
  pop {lr}
  bx lr
