@ Writes into its own code, which the loader maps read-only.
  .include "program.inc"
  PROGRAM
  adr r1, WinMain
  str r0, [r1]
  bx lr
