# Shared by the musl toolchains: WATCHD_MUSL_ARCH (x86_64, aarch64) and
# WATCHD_GNU_PREFIX (the glibc cross tools whose compilers do the work) are
# set by the including file. Compiles C++ against musl's C headers and the
# toolchain's C++ headers (templates only: no C++ runtime is linked), and
# links with musl's C driver, so that any use of the C++ runtime library
# fails to link instead of becoming a silent dependency. Static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${WATCHD_MUSL_ARCH})

set(CMAKE_C_COMPILER ${WATCHD_MUSL_ARCH}-linux-musl-gcc)
set(CMAKE_CXX_COMPILER ${WATCHD_GNU_PREFIX}g++)

execute_process(COMMAND ${WATCHD_GNU_PREFIX}g++ -dumpversion
  OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${WATCHD_GNU_PREFIX}g++ -print-file-name=include
  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
if(WATCHD_MUSL_ARCH STREQUAL "x86_64")
  set(cxx_include /usr/include/c++/${gcc_major})
  set(cxx_arch_include /usr/include/x86_64-linux-gnu/c++/${gcc_major})
else()
  set(cxx_include /usr/${WATCHD_MUSL_ARCH}-linux-gnu/include/c++/${gcc_major})
  set(cxx_arch_include ${cxx_include}/${WATCHD_MUSL_ARCH}-linux-gnu)
endif()

set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${cxx_include} -isystem ${cxx_arch_include} \
-isystem /usr/include/${WATCHD_MUSL_ARCH}-linux-musl -isystem ${gcc_include} \
-include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CXX_LINK_EXECUTABLE
  "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
