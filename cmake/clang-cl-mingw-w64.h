// Forced into every source built by clang-cl: what mingw-w64's headers expect
// their own compilers to define. Their x64 winnt.h defines inline helpers for GCC
// where __x86_64 is defined, with the compiler's intrinsics included after
// _mingw.h has defined __attribute__ away for compilers that are not GCC; the
// program uses none of them.
#ifdef _M_X64
#define _AMD64_
#undef __x86_64
#else
#define _X86_
#endif
#define WIN32_LEAN_AND_MEAN
#define __buildmemorybarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
