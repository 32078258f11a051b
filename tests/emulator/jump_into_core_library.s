@ Jumps into the middle of the core library's first routine through its import slot's value.
  .include "program.inc"
  PROGRAM
  ldr r0, =__imp_RegCloseKey
  ldr r0, [r0]
  add r0, r0, #2
  bx r0
