# Static AArch64 build against musl (g++-aarch64-linux-gnu, musl-dev:arm64).
set(WATCHD_MUSL_ARCH aarch64)
set(WATCHD_GNU_PREFIX aarch64-linux-gnu-)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
