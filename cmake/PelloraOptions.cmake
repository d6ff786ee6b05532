# Warnings, sanitizers and the helper used by every core library.

add_library(pellora_warnings INTERFACE)
target_compile_options(pellora_warnings INTERFACE
  $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion>)

if(PELLORA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(PELLORA_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "PELLORA_BUILD_FUZZ needs clang (configure with -DCMAKE_CXX_COMPILER=clang++)")
  endif()
  # Everything is instrumented for coverage; the fuzz executables add the libFuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# pellora_core_library(NAME SOURCES...): a core library. Core libraries never link Qt.
function(pellora_core_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE pellora_warnings)
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()
