# Checks the export and import tables of a DLL with objdump -p:
#   cmake -DOBJDUMP=<arch>-w64-mingw32-objdump -DDLL=Tamsorel.dll
#         -DEXPORTS=DllCanUnloadNow,DllGetClassObject -P check_dll.cmake
# Fails when an export is missing, decorated (stdcall @N, leading underscore)
# or unexpected, or when the DLL imports anything but system libraries.
cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP DLL EXPORTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_dll.cmake: ${var} is not set")
  endif()
endforeach()

string(REPLACE "," ";" EXPORTS "${EXPORTS}")
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${status})")
endif()
# Square brackets would change how CMake splits lists.
string(REPLACE "[" "<" dump "${dump}")
string(REPLACE "]" ">" dump "${dump}")

# Exports: the names of the [Ordinal/Name Pointer] Table.
string(REGEX MATCH "<Ordinal/Name Pointer> Table\n([^\n]+\n)+" table "${dump}")
string(REGEX MATCHALL "\n[ \t]*<[ 0-9]+>[ \t]+[^ \t\n]+" rows "${table}")
set(exported)
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\n[ \t]*<[ 0-9]+>[ \t]+" "" name "${row}")
  list(APPEND exported "${name}")
endforeach()
set(problems)
foreach(name IN LISTS exported)
  if(name MATCHES "@|^_")
    list(APPEND problems "decorated export '${name}'")
  elseif(NOT name IN_LIST EXPORTS)
    list(APPEND problems "unexpected export '${name}'")
  endif()
endforeach()
foreach(name IN LISTS EXPORTS)
  if(NOT name IN_LIST exported)
    list(APPEND problems "missing export '${name}'")
  endif()
endforeach()

# Imports: only libraries that every Windows system carries.
set(system_dlls kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll shell32.dll
    shlwapi.dll msvcrt.dll comctl32.dll rpcrt4.dll ntdll.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(imported)
foreach(line IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: " "" name "${line}")
  string(STRIP "${name}" name)
  string(TOLOWER "${name}" lower)
  list(APPEND imported "${name}")
  if(NOT lower IN_LIST system_dlls)
    list(APPEND problems "non-system import '${name}'")
  endif()
endforeach()

message(STATUS "exports: ${exported}")
message(STATUS "imports: ${imported}")
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${DLL}:\n  ${text}")
endif()
