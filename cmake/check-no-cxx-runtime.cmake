# Fails the build if the linked module still refers to the C++ runtime, which
# it is linked without: such a module would build but not import.
#   cmake -DNM=<nm> -DMODULE=<module file> -P check-no-cxx-runtime.cmake
execute_process(
  COMMAND "${NM}" -D --undefined-only "${MODULE}"
  OUTPUT_VARIABLE undefined
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${MODULE}")
endif()
# The C library's own __cxa_* functions carry its symbol versions; anything
# of the C++ runtime or the unwinder would not.
string(REGEX MATCHALL "[^\r\n]+" lines "${undefined}")
set(runtime_symbols "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.*[ \t]" "" symbol "${line}")
  if(symbol MATCHES "^(_Z|__cxa_|__gxx_|_Unwind_)" AND NOT symbol MATCHES "@GLIBC_")
    list(APPEND runtime_symbols "${symbol}")
  endif()
endforeach()
if(runtime_symbols)
  file(REMOVE "${MODULE}")
  list(JOIN runtime_symbols "\n" runtime_symbols)
  message(FATAL_ERROR "the module needs the C++ runtime, which it is not linked with:\n"
                      "${runtime_symbols}\n(demangle with c++filt)")
endif()
