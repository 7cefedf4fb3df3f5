# regscript.exe refuses, without blocking, a script that is a FIFO or a device
# node on the Unix side of Wine.  Each file is made here by the test itself.
#   cmake -DEMULATOR=wine-run -DLANE=win64 -DTOOL=regscript.exe -DWORK=dir -P special_files.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

set(made "")
execute_process(COMMAND mkfifo ${WORK}/fifo.rgs RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "mkfifo failed: ${rc}")
endif()
list(APPEND made fifo.rgs)
# A character device (the null device's numbers) needs root; elsewhere only
# the FIFO is tried.
execute_process(COMMAND mknod ${WORK}/device.rgs c 1 3 RESULT_VARIABLE rc ERROR_QUIET)
if(rc EQUAL 0)
  list(APPEND made device.rgs)
endif()

set(failures "")
foreach(name IN LISTS made)
  string(REPLACE "/" "\\" windows "Z:${WORK}/${name}")
  execute_process(COMMAND ${EMULATOR} ${LANE} ${TOOL} --register ${windows}
                  TIMEOUT 120 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc STREQUAL "2" OR NOT out STREQUAL "" OR NOT err MATCHES "as a script: not a regular file")
    string(APPEND failures "${name}: exit ${rc}, stdout '${out}', stderr '${err}'\n")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "refused: ${made}")
