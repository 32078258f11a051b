@ Jumps to an address where nothing is mapped.
  .include "program.inc"
  PROGRAM
  ldr r0, =0x00400000
  bx r0
