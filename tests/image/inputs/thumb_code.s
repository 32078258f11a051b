@ A Thumb function: the device's code must be ARM state throughout.
  .syntax unified
  .thumb
  .text
  .type thumb, %function
thumb:
  push {r4, lr}
  pop {r4, pc}
