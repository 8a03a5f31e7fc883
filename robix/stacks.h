// robix stacks: starts each connection thread detached, on a stack from a
// pool the program owns and recycles, so the thread library neither maps nor
// advises away a stack per connection. Owns the pool, its one lock and the
// probe threads it starts once; leaves what the threads do to their callers.
#ifndef ROBIX_STACKS_H
#define ROBIX_STACKS_H

#include <stddef.h>

// Every thread's stack, as the programs sized it: 512 KiB, or 4 MiB under
// ThreadSanitizer, whose per-thread state is carved from the stack. A pooled
// stack also has one guard page below it.
#if defined(__SANITIZE_THREAD__)
constexpr size_t STACK_THREAD_BYTES = 4 * 1024 * 1024;
#else
constexpr size_t STACK_THREAD_BYTES = 512 * 1024;
#endif
// Most stacks the pool ever maps; past that, threads get the library's own.
constexpr size_t STACK_POOL_MAX_SLOTS = 1024;

// A snapshot of the pool, for tests and benchmarks.
struct stack_pool_stats_t {
    int enabled;           // 1 while the pool hands out stacks, 0 once it is off
    size_t slots;          // stacks mapped so far; they are never unmapped
    size_t busy;           // stacks whose thread is not yet known to be gone
    size_t warm;           // idle stacks that keep their pages
    size_t cold;           // idle stacks whose pages were returned
    size_t recent_peak;    // most busy stacks seen over the last one to two seconds
    unsigned long pooled;  // threads started on a pooled stack
    unsigned long plain;   // threads started on the thread library's own stack
};

// Starts routine(arg) on a new detached thread, with the signal mask of the
// caller, on a pooled stack of STACK_THREAD_BYTES when the pool is on and has
// or can map one, and otherwise on a stack of the same size from the thread
// library. The caller must not detach or join the thread (it is detached
// already); the thread may end by returning or by pthread_exit.
// Returns 0, or the error code of pthread_create (EAGAIN, ...) with no thread
// started, the pool unchanged and arg untouched. Thread-safe; never throws.
int stack_thread_create(void *(*routine)(void *), void *arg) noexcept;

// Runs the pool's run-time checks now rather than at the first
// stack_thread_create (they start and end two short threads). Cannot fail:
// a failed check turns the pool off. Thread-safe; later calls do nothing.
void stack_pool_init() noexcept;

// Turns the pool off for good: every later thread gets the library's stack.
// Threads already on pooled stacks run on undisturbed. Thread-safe.
void stack_pool_disable() noexcept;

// The index (0 to STACK_POOL_MAX_SLOTS - 1) of the pooled stack that holds
// addr, or -1 when no pooled stack does. Thread-safe; takes no lock.
int stack_pool_slot_of(const void *addr) noexcept;

// Fills *out with the pool's state, after taking back the stacks of threads
// that are gone. Thread-safe: takes the pool's lock.
void stack_pool_stats(stack_pool_stats_t *out) noexcept;

#endif
