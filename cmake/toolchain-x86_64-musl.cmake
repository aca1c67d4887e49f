# Static x86_64 build against musl (Debian's musl-tools and musl-dev).
set(WATCHD_MUSL_ARCH x86_64)
set(WATCHD_GNU_PREFIX "")
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
