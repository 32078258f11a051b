@ ARM-state instructions that ARMv4T cores do not have: the checker must refuse every one.
  .syntax unified
  .arm
  .fpu vfpv2
  .text
  .type newer, %function
newer:
  blx r2
  blx newer
  clz r0, r1
  ldrd r0, r1, [r2]
  strd r0, r1, [r2]
  pld [r0]
  bkpt #0
  smulbb r0, r1, r2
  qadd r0, r1, r2
  movw r0, #1
  movt r0, #1
  ubfx r0, r1, #2, #3
  rev r0, r1
  ldrex r0, [r1]
  dmb
  vadd.f32 s0, s1, s2
  vldr d0, [r0]
  mcr p15, 0, r0, c1, c0, 0
  mrc p14, 0, r0, c0, c0, 0
