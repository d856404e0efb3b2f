# The system's threaded Perl: the definitions, headers and library of the
# embedding, and the module search path that tests give the runtime.
find_program(LMX_PERL perl REQUIRED)
execute_process(COMMAND ${LMX_PERL} ${CMAKE_SOURCE_DIR}/tools/perl_config.pl
                        ${LMX_GENERATED_DIR}/perl_config.cmake
                COMMAND_ERROR_IS_FATAL ANY)
include(${LMX_GENERATED_DIR}/perl_config.cmake)
if(NOT EXISTS ${LMX_PERL_INCLUDE_DIR}/perl.h)
  message(FATAL_ERROR "perl.h not found in ${LMX_PERL_INCLUDE_DIR}: install libperl-dev (make deps)")
endif()
find_library(LMX_PERL_LIBRARY NAMES perl REQUIRED)

execute_process(COMMAND ${LMX_PERL} ${CMAKE_SOURCE_DIR}/tools/find_standard_modules.pl
                        ${LMX_GENERATED_DIR}/standard_modules.inc
                COMMAND_ERROR_IS_FATAL ANY)
