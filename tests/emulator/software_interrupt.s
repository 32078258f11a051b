@ Calls the kernel directly, which an application never does on the device.
  .include "program.inc"
  PROGRAM
  svc #0
  bx lr
