# The interpreter the Python module is built for, when the configure names none: the first
# python3 on PATH that has pybind11. Debian's python3-pybind11 serves /usr/bin/python3, while
# a python3 earlier on PATH (pyenv's, say) may lack it, and FindPython takes the first one it
# meets. -DPython3_EXECUTABLE=..., -DPython3_ROOT_DIR=... or an active virtual environment
# (FindPython takes it first) decide instead; so does the cache after the first configure.
function(tarnpak_pick_python)
  if(DEFINED Python3_EXECUTABLE OR DEFINED Python3_ROOT_DIR OR DEFINED ENV{VIRTUAL_ENV})
    return()
  endif()
  if(CMAKE_HOST_WIN32)
    set(names python.exe python3.exe)
  else()
    set(names python3)
  endif()
  cmake_path(CONVERT "$ENV{PATH}" TO_CMAKE_PATH_LIST directories)
  foreach(directory IN LISTS directories)
    foreach(name IN LISTS names)
      set(candidate "${directory}/${name}")
      if(EXISTS "${candidate}" AND NOT IS_DIRECTORY "${candidate}")
        execute_process(COMMAND "${candidate}" -c "import pybind11"
          RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
        if(failed EQUAL 0)
          set(Python3_EXECUTABLE "${candidate}" CACHE FILEPATH
            "the Python interpreter the module is built for")
          return()
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()
