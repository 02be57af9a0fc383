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

# Runs the command and stores its output in `out`; fails if it fails.
function(run out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Fails with `problem` unless `text` matches `regex`; sets match_1 and
# match_2 to the first two groups.
function(require_match text regex problem)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${LIBRARY}: ${problem}:\n${text}")
  endif()
  set(match_1 "${CMAKE_MATCH_1}" PARENT_SCOPE)
  set(match_2 "${CMAKE_MATCH_2}" PARENT_SCOPE)
endfunction()

run(dynamic ${READELF} -d -W ${LIBRARY})
require_match("${dynamic}" "\\(NEEDED\\)[^\n]*\\[(libcudart\\.so\\.[0-9]+)\\]"
              "does not need the shared CUDA runtime")
set(runtime ${match_1})

run(symbols ${READELF} --dyn-syms -W ${LIBRARY})
require_match("${symbols}" " UND __cudaRegisterFatBinary@${runtime}"
              "does not register its device code with ${runtime}")

require_match("${dynamic}" "\\((RUNPATH|RPATH)\\)[^\n]*\\[([^]\n]*)\\]" "has no run path")
get_filename_component(origin ${LIBRARY} DIRECTORY)
string(REPLACE "$ORIGIN" "${origin}" run_path "${match_2}")
string(REPLACE ":" ";" run_path "${run_path}")
set(runtime_dir "")
foreach(dir ${run_path})
  if(NOT runtime_dir AND EXISTS ${dir}/${runtime})
    set(runtime_dir ${dir})
  endif()
endforeach()
if(NOT runtime_dir)
  message(FATAL_ERROR "${LIBRARY}: no directory of the run path (${run_path}) holds ${runtime}")
endif()

run(resolved ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${LDD} ${LIBRARY})
if(resolved MATCHES "not found")
  message(FATAL_ERROR "${LIBRARY}: the loader does not resolve every library:\n${resolved}")
endif()
require_match("${resolved}" "${runtime} => ([^ ]+)" "ldd does not list ${runtime}")
message(STATUS "${runtime} (run path ${runtime_dir}) => ${match_1}; every library resolved")
