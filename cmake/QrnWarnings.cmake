function(qrn_target_warnings target)
  # clang spells gcc's -Wshadow=local as -Wshadow-uncaptured-local.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow-uncaptured-local -Wno-unused-parameter)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow=local -Wno-unused-parameter)
  endif()
endfunction()
