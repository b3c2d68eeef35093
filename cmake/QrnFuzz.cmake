# QRN_FUZZ: the libFuzzer targets of tests/fuzz. Available with clang when -fsanitize=fuzzer
# links; they compile the library's sources again with the fuzzer's instrumentation, so the
# other targets of the tree stay as they are, and are built only when asked for by name.
set(qrn_fuzz_default OFF)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND NOT QRN_SANITIZE STREQUAL "thread")
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=fuzzer")
  check_cxx_source_compiles(
    "#include <stddef.h>\n#include <stdint.h>\nextern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }"
    QRN_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(QRN_HAVE_LIBFUZZER)
    set(qrn_fuzz_default ON)
  endif()
endif()
option(QRN_FUZZ "Define the libFuzzer targets (clang only)" ${qrn_fuzz_default})
if(QRN_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "QRN_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++)")
endif()
if(QRN_FUZZ AND QRN_SANITIZE STREQUAL "thread")
  message(FATAL_ERROR "QRN_FUZZ builds with AddressSanitizer and cannot join QRN_SANITIZE=thread")
endif()
