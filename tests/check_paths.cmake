# Checks the objects of the CPU loops' wide instruction-set paths:
# - each holds its path's instructions (zmm registers for AVX-512, ymm for
#   AVX2), so the path is not a narrower one in disguise;
# - neither defines a weak or unique symbol: the linker keeps one copy of
#   such a symbol for the whole library, and a copy compiled with a wide
#   path's options would run on processors that lack it.
# Usage: cmake -DOBJECTS=<objects> -DNM=<nm> -DOBJDUMP=<objdump> -P check_paths.cmake

set(checked 0)
foreach(object ${OBJECTS})
  if(object MATCHES "path_avx512")
    set(register "zmm")
  elseif(object MATCHES "path_avx2")
    set(register "ymm")
  else()
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object} OUTPUT_VARIABLE code
                  RESULT_VARIABLE rc)
  string(REGEX MATCHALL "%${register}[0-9]+" uses "${code}")
  list(LENGTH uses count)
  if(NOT rc EQUAL 0 OR count LESS 100)
    message(FATAL_ERROR "${object}: ${count} uses of ${register} registers")
  endif()
  execute_process(COMMAND ${NM} --defined-only ${object} OUTPUT_VARIABLE symbols
                  RESULT_VARIABLE rc)
  string(REGEX MATCHALL "[^\n]* [VWu] [^\n]*" shared "${symbols}")
  if(NOT rc EQUAL 0 OR shared)
    message(FATAL_ERROR "${object} defines symbols that other objects may share:\n${shared}")
  endif()
endforeach()
if(NOT checked EQUAL 2)
  message(FATAL_ERROR "expected the AVX2 and AVX-512 objects among: ${OBJECTS}")
endif()
