@ Jumps into its own writable data, which is not executable.
  .include "program.inc"
  PROGRAM
  ldr r0, =payload
  bx r0

  .section .data.payload, "aw", %progbits
payload:
  .word 0xE12FFF1E
