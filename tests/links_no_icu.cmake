# cmake -DSERVER=<binary> -DNM=<nm> -DREADELF=<readelf> -DSTATIC=<ON|OFF>
#   -P links_no_icu.cmake
# Fails when the server binary holds or asks for an ICU symbol (ICU's C
# functions carry its major version, u_foo_72; its C++ ones live in
# namespace icu_72), loads an ICU library, or, when linked statically,
# loads any library at all.
# A stripped server keeps its symbols beside it (cmake/static_link.cmake).
set(symbol_file ${SERVER})
if(EXISTS ${SERVER}.symbols)
  set(symbol_file ${SERVER}.symbols)
endif()
execute_process(COMMAND ${NM} -C ${symbol_file} OUTPUT_VARIABLE symbols
  RESULT_VARIABLE nm_status ERROR_VARIABLE nm_errors)
if(NOT nm_status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${symbol_file}: ${nm_errors}")
endif()
string(LENGTH "${symbols}" symbols_length)
if(symbols_length LESS 1000)
  message(FATAL_ERROR "nm listed almost no symbols of ${symbol_file}")
endif()
string(REGEX MATCHALL
  "[ \n](u|uc|ucase|ucasemap|uset|uprv|udata|utrie2|ures|uloc)_[A-Za-z0-9]+_[0-9][0-9][^\n]*|icu_[0-9][0-9]::[^\n]*"
  icu_symbols "${symbols}")
if(icu_symbols)
  list(SUBLIST icu_symbols 0 5 some)
  message(FATAL_ERROR "the server holds ICU symbols, e.g.: ${some}")
endif()
execute_process(COMMAND ${READELF} -d ${SERVER} OUTPUT_VARIABLE dynamic
  RESULT_VARIABLE readelf_status)
if(NOT readelf_status EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${SERVER}")
endif()
if(dynamic MATCHES "NEEDED[^\n]*libicu")
  message(FATAL_ERROR "the server loads an ICU library:\n${dynamic}")
endif()
if(STATIC AND dynamic MATCHES "NEEDED")
  message(FATAL_ERROR "the static server loads libraries:\n${dynamic}")
endif()
message(STATUS "no ICU in ${SERVER}")
