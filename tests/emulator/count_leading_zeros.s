@ clz r0, r1: an ARMv5 instruction. The XScale runs it and the process ends with 31; a strict
@ ARMv4T core has no such instruction.
  .include "program.inc"
  PROGRAM
  mov r1, #1
  .word 0xE16F0F11
  bx lr
