# The library's default CUDA architecture.
#
# varekpt_default_cuda_architecture(<out> <list>) sets <out> to the oldest
# architecture in <list>, the output of `nvcc --list-gpu-arch` (lines such as
# "compute_75"), that is at least 60: the device code adds doubles atomically,
# which needs compute capability 6.0. A toolkit that lists nothing from 60 up
# leaves <out> empty.
function(varekpt_default_cuda_architecture out list)
  string(REGEX MATCHALL "compute_[0-9]+" _archs "${list}")
  set(_oldest "")
  foreach(_arch ${_archs})
    string(REPLACE "compute_" "" _arch "${_arch}")
    if(_arch GREATER_EQUAL 60 AND (_oldest STREQUAL "" OR _arch LESS _oldest))
      set(_oldest "${_arch}")
    endif()
  endforeach()
  set(${out} "${_oldest}" PARENT_SCOPE)
endfunction()
