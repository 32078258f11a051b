@ Executes an instruction that is permanently undefined on every ARM core.
  .include "program.inc"
  PROGRAM
  .word 0xE7F000F0
  bx lr
