# Finds oneTBB. A Python environment with the `tbb-devel` package (the build
# requirement of the wheel) carries the headers, the CMake package and the
# shared library under its data prefix; ask Python where that is. Without it,
# fall back to the usual CMake search (system or package-manager oneTBB).
if(NOT TBB_DIR)
  find_package(Python 3.9 COMPONENTS Interpreter QUIET)
  if(Python_Interpreter_FOUND)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -c
        "import importlib.metadata as m, pathlib\ntry:\n    fs = m.files('tbb-devel') or []\nexcept m.PackageNotFoundError:\n    fs = []\nfor f in fs:\n    if f.name == 'TBBConfig.cmake':\n        print(pathlib.Path(f.locate()).resolve().parent)\n        break"
      OUTPUT_VARIABLE _quarn_tbb_dir
      OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE _quarn_tbb_status)
    if(_quarn_tbb_status EQUAL 0 AND _quarn_tbb_dir)
      set(TBB_DIR "${_quarn_tbb_dir}" CACHE PATH "oneTBB CMake package directory")
    endif()
  endif()
endif()
find_package(TBB CONFIG REQUIRED COMPONENTS tbb)
message(STATUS "oneTBB: ${TBB_DIR}")
