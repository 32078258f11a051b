@ One instruction of each ARMv4T kind the compiler may emit, in ARM state: the checker must pass
@ every one of them.
  .syntax unified
  .arm
  .text
  .type armv4t, %function
armv4t:
  push {r4-r11, lr}
  adds r0, r1, r2, lsl #3
  rsbne r0, r0, #0
  movseq r0, r1, lsl #2
  mvn r0, #0
  rrx r0, r1
  tst r0, #1
  cmn r0, r1
  bics r0, r0, #255
  mla r0, r1, r2, r3
  umull r0, r1, r2, r3
  smlal r0, r1, r2, r3
  ldr r0, [r1, #-4]!
  strb r0, [r1], #1
  ldrsheq r0, [r1, #2]
  ldrsb r0, [r1, r2]
  strh r0, [r1]
  ldmdb r0!, {r1, r2}
  stmib r0, {r1, r2}
  swpb r0, r1, [r2]
  mrs r0, cpsr
  msr cpsr_f, r0
  svc #0
  bl armv4t
  bxeq lr
  pop {r4-r11, lr}
  bx lr
  .word 0xe12fff32  @ data in code is not an instruction
