@ Never returns.
  .include "program.inc"
  PROGRAM
1:
  b 1b
