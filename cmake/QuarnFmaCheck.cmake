# The quantiles of the bootstrap use one fused multiply-add and rely on the
# C runtime's fma rounding once. glibc's and the Universal CRT's do; the
# runtime of older MinGW-w64 releases (10 and before) rounds twice, which
# changes the last bit of some thresholds. Runs cmake/windows/fma_probe.cpp
# (through CMAKE_CROSSCOMPILING_EMULATOR, e.g. Wine, when cross-compiling)
# and warns when that runtime is in use; the build goes on.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()
try_run(_quarn_fma_exit _quarn_fma_built
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/windows/fma_probe.cpp"
  LINK_OPTIONS -static
  COMPILE_OUTPUT_VARIABLE _quarn_fma_build_output
  RUN_OUTPUT_VARIABLE _quarn_fma_output)
if(NOT _quarn_fma_built)
  message(WARNING "could not build the check of the C runtime's fma:\n${_quarn_fma_build_output}")
elseif(NOT _quarn_fma_exit EQUAL 0)
  message(WARNING
    "The C runtime's fma does not round once (MinGW-w64 10 or older?):\n"
    "${_quarn_fma_output}"
    "Bootstrap thresholds built here may differ in their last bit from those of "
    "other platforms; use MSVC or a newer MinGW-w64 runtime for identical results.")
endif()
