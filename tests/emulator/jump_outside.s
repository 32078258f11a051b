@ Calls through a null function pointer: a jump to where nothing is mapped.
  .include "program.inc"
  PROGRAM
  mov r0, #0
  bx r0
