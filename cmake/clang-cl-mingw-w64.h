// Forced into every source built by clang-cl: what mingw-w64's headers expect
// their own compilers to define.
#define _X86_
#define WIN32_LEAN_AND_MEAN
#define __buildmemorybarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
