# Checks how the built library links the CUDA runtime:
# - it needs the shared runtime (a NEEDED libcudart.so.N) and registers its
#   device code with it (__cudaRegisterFatBinary is imported from there, not
#   linked in);
# - a directory of its run path holds that runtime, so no LD_LIBRARY_PATH is
#   needed;
# - the loader resolves every library it needs with LD_LIBRARY_PATH unset.
# Usage: cmake -DLIBRARY=<file> -DREADELF=<readelf> -DLDD=<ldd> -P check_library.cmake

foreach(var LIBRARY READELF LDD)
  if(NOT ${var})
    message(FATAL_ERROR "check_library: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${READELF} -d -W ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf -d ${LIBRARY} failed")
endif()
if(NOT dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[(libcudart\\.so\\.[0-9]+)\\]")
  message(FATAL_ERROR "${LIBRARY} does not need the shared CUDA runtime:\n${dynamic}")
endif()
set(runtime ${CMAKE_MATCH_1})
if(dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libcudart_static")
  message(FATAL_ERROR "${LIBRARY} needs a static CUDA runtime")
endif()

execute_process(COMMAND ${READELF} --dyn-syms -W ${LIBRARY} OUTPUT_VARIABLE symbols)
if(NOT symbols MATCHES " UND __cudaRegisterFatBinary@${runtime}")
  message(FATAL_ERROR "${LIBRARY} does not register its device code with ${runtime}")
endif()

if(NOT dynamic MATCHES "\\((RUNPATH|RPATH)\\)[^\n]*\\[([^]\n]*)\\]")
  message(FATAL_ERROR "${LIBRARY} has no run path")
endif()
set(run_path ${CMAKE_MATCH_2})
get_filename_component(origin ${LIBRARY} DIRECTORY)
string(REPLACE "$ORIGIN" "${origin}" run_path "${run_path}")
string(REPLACE ":" ";" run_path "${run_path}")
set(runtime_dir "")
foreach(dir ${run_path})
  if(NOT runtime_dir AND EXISTS ${dir}/${runtime})
    set(runtime_dir ${dir})
  endif()
endforeach()
if(NOT runtime_dir)
  message(FATAL_ERROR "no directory of the run path (${run_path}) holds ${runtime}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${LDD} ${LIBRARY}
                OUTPUT_VARIABLE resolved RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR resolved MATCHES "not found")
  message(FATAL_ERROR "the loader does not resolve every library of ${LIBRARY}:\n${resolved}")
endif()
if(NOT resolved MATCHES "${runtime} => ([^ ]+)")
  message(FATAL_ERROR "ldd does not list ${runtime}:\n${resolved}")
endif()
message(STATUS "${runtime} (run path ${runtime_dir}) => ${CMAKE_MATCH_1}; every library resolved")
