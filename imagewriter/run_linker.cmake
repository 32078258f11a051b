# Runs ld.lld and fails the link on anything it prints, except one line: ld.lld 14 warns
# "lld uses blx instruction, no object with architecture supporting feature detected" on every
# link of ARMv4T objects, whether or not it used blx (it decides before it reads any code). The
# image's tests disassemble the linked program and refuse blx, so that line is dropped here.
#
# cmake -DLINKER=ld.lld -DOUTPUT=file "-DARGUMENTS=arg;arg;..." -P run_linker.cmake
execute_process(
  COMMAND ${LINKER} ${ARGUMENTS} -o ${OUTPUT}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
string(REPLACE
  "ld.lld: warning: lld uses blx instruction, no object with architecture supporting feature detected\n"
  "" output "${output}")
if(NOT status EQUAL 0 OR NOT output STREQUAL "")
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "linking ${OUTPUT} failed:\n${output}")
endif()
