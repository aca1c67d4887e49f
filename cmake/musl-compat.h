/* Force-included when the C++ headers of a glibc toolchain are used with
 * musl: they test glibc's version with this macro, which musl lacks. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
