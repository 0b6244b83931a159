# One interface target carries the language level, warnings and build
# flavour flags; every target of ours links it.
add_library(kqz_options INTERFACE)
target_compile_features(kqz_options INTERFACE cxx_std_20)
target_include_directories(kqz_options INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kqz_version.hpp.in ${PROJECT_BINARY_DIR}/generated/kqz_version.hpp @ONLY)

target_compile_options(kqz_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough -Wcast-qual)

if(KQZ_WARNINGS_AS_ERRORS)
  target_compile_options(kqz_options INTERFACE -Werror)
endif()

if(KQZ_SANITIZE)
  target_compile_options(kqz_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(kqz_options INTERFACE -fsanitize=address,undefined)
endif()

if(KQZ_HARDEN)
  target_compile_definitions(kqz_options INTERFACE _GLIBCXX_ASSERTIONS)
  target_compile_options(kqz_options INTERFACE
    -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection)
  target_link_options(kqz_options INTERFACE -Wl,-z,relro,-z,now)
endif()

# Third-party headers are system headers: their warnings are not ours.
set(CMAKE_NO_SYSTEM_FROM_IMPORTED OFF)
