// robix stacks: the pool of thread stacks behind stack_thread_create. Owns
// pool_lock and everything it guards, and runs two probe threads once, at the
// first use; the threads it starts belong to their callers.
//
// What this leans on. No portable interface tells when a detached thread has
// stopped using its stack, so the pool relies on these facts of glibc on
// Linux (seen on glibc 2.36, x86-64). The first two decide whether reuse is
// safe: pool_calibrate checks them with two probe threads, and every pooled
// thread checks them again as it starts. The third decides only whether the
// pool pays off:
//   1. A thread created with pthread_attr_setstack keeps its descriptor
//      (struct pthread, whose address pthread_self returns) inside the
//      caller's stack block, at the same distance from the block's start for
//      every block of one size and alignment.
//   2. That descriptor holds the thread's kernel id in a 32-bit word, which
//      glibc hands to the kernel as the CLONE_CHILD_CLEARTID address: the
//      kernel writes 0 there once the thread has left user space for good,
//      after glibc's own exit code (which still runs on the stack, and frees
//      a detached thread's descriptor) has finished. Only then is a stack
//      given out again.
//   3. glibc neither maps, frees nor advises away a caller-provided stack
//      (it does all three to its own stacks, the last at every thread's end).
// When a check fails, the pool turns itself off and threads get the library's
// own stacks, as if the pool did not exist.
#include "stacks.h"

#include <assert.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

// How long a probe thread may take to start and be gone before the checks
// count as failed.
constexpr long PROBE_DEADLINE_MS = 5000;
// How far past its descriptor's start the probe looks for its thread id.
constexpr size_t PROBE_SCAN_BYTES = 4096;
// A probe keeps at most this many words that hold its id.
constexpr int PROBE_MAX_CANDIDATES = 8;
// Idle stacks whose pages one thread start returns at most, so that the
// start is never held up by more than a few system calls.
constexpr size_t TRIM_BATCH = 8;
// Length of one epoch of the recent peak, in seconds: the peak covers the
// current epoch and the one before it.
constexpr time_t PEAK_EPOCH_SECONDS = 1;
// What current_epoch returns when the clock cannot be read: the peak then
// stays in its epoch.
constexpr time_t POOL_EPOCH_UNKNOWN = -1;

enum slot_state_t {
    SLOT_WARM,      // idle, pages kept; on pool_warm
    SLOT_COLD,      // idle, pages returned; on pool_cold
    SLOT_BUSY,      // handed to a thread that has not yet finished its routine
    SLOT_RETIRING,  // its thread finished its routine; on pool_retiring until
                    // the kernel clears the thread's id word
    SLOT_TRIMMING,  // idle, its pages being returned outside the lock
    SLOT_LOST,      // never given out again (its thread failed a check)
};

struct stack_slot_t {
    char *block;  // the mapping: one guard page, then STACK_THREAD_BYTES of stack
    slot_state_t state;
    stack_slot_t *prev, *next;  // links in the list of its state, if it has one
    void *(*routine)(void *);   // what the thread runs, set before it starts
    void *arg;
};

// A list of slots: head is the most recently added, tail the oldest.
struct slot_list_t {
    stack_slot_t *head, *tail;
    size_t count;
};

// Set once, before the pool is on, by pool_calibrate; read-only afterwards.
static size_t pool_guard_bytes;  // one page
static size_t pool_self_offset;  // the thread descriptor's distance from a block's start
static size_t pool_tid_offset;   // the thread id word's distance from a block's start

// POOL_ON only after every check passed; POOL_OFF for good after a failure
// or stack_pool_disable.
enum { POOL_UNCHECKED, POOL_ON, POOL_OFF };
static std::atomic<int> pool_status{POOL_UNCHECKED};
static pthread_once_t pool_once = PTHREAD_ONCE_INIT;

// pool_lock guards everything below up to the counters, and every slot's
// state and links. No system call is made while it is held.
static pthread_mutex_t pool_lock = PTHREAD_MUTEX_INITIALIZER;
static stack_slot_t pool_slots[STACK_POOL_MAX_SLOTS];
// pool_slots[0, pool_mapped) have their block; written under pool_lock, and
// published with release so that stack_pool_slot_of reads it without the lock.
static std::atomic<size_t> pool_mapped{0};
static size_t pool_mapping;  // blocks being mapped outside the lock
static slot_list_t pool_warm, pool_cold, pool_retiring;
static size_t pool_busy;  // slots in SLOT_BUSY or SLOT_RETIRING
// The most busy slots seen in the current epoch and in the one before it.
static size_t pool_peak_now, pool_peak_before;
static time_t pool_epoch;

// Counters for stack_pool_stats; relaxed, as nothing is ordered by them.
static std::atomic<unsigned long> pool_pooled_starts{0}, pool_plain_starts{0};

// ---------------------------------------------------------------- slot lists

static void list_push_head(slot_list_t *list, stack_slot_t *slot) {
    slot->prev = nullptr;
    slot->next = list->head;
    if (list->head != nullptr) {
        list->head->prev = slot;
    } else {
        list->tail = slot;
    }
    list->head = slot;
    list->count++;
}

static void list_remove(slot_list_t *list, stack_slot_t *slot) {
    assert(list->count > 0);
    if (slot->prev != nullptr) {
        slot->prev->next = slot->next;
    } else {
        list->head = slot->next;
    }
    if (slot->next != nullptr) {
        slot->next->prev = slot->prev;
    } else {
        list->tail = slot->prev;
    }
    slot->prev = slot->next = nullptr;
    list->count--;
}

// ---------------------------------------------------------------- blocks and id words

static char *slot_stack(const stack_slot_t *slot) { return slot->block + pool_guard_bytes; }

// The word the kernel clears when the slot's last thread is gone. Atomic
// because the kernel writes it while other threads read it.
static std::atomic<int> *slot_tid_word(const stack_slot_t *slot) {
    return reinterpret_cast<std::atomic<int> *>(slot->block + pool_tid_offset);
}

// Maps one block with its guard page. Returns nullptr when the system has no
// memory or address space left; nothing is left mapped then.
static char *block_map() {
    size_t bytes = pool_guard_bytes + STACK_THREAD_BYTES;
    void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    if (mprotect(block, pool_guard_bytes, PROT_NONE) != 0) {
        munmap(block, bytes);
        return nullptr;
    }
    return static_cast<char *>(block);
}

static void disable_pool() { pool_status.store(POOL_OFF, std::memory_order_release); }

// ---------------------------------------------------------------- taking and giving back

// Moves the slots of threads that are gone from pool_retiring to the head of
// pool_warm. The acquire load pairs with the kernel's clearing of the word:
// once it reads 0, the thread will never touch its stack again.
static void reap_locked() {
    stack_slot_t *slot = pool_retiring.head;
    while (slot != nullptr) {
        stack_slot_t *next = slot->next;
        if (slot_tid_word(slot)->load(std::memory_order_acquire) == 0) {
            assert(slot->state == SLOT_RETIRING && pool_busy > 0);
            list_remove(&pool_retiring, slot);
            slot->state = SLOT_WARM;
            list_push_head(&pool_warm, slot);
            pool_busy--;
        }
        slot = next;
    }
}

// The epoch of the recent peak that the clock is in now; read before taking
// pool_lock, as it may cost a system call.
static time_t current_epoch() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return POOL_EPOCH_UNKNOWN;
    return now.tv_sec / PEAK_EPOCH_SECONDS;
}

// Moves the recent peak on to epoch, unless it is there already.
static void enter_epoch_locked(time_t epoch) {
    if (epoch == POOL_EPOCH_UNKNOWN || epoch == pool_epoch) return;
    pool_peak_before = epoch == pool_epoch + 1 ? pool_peak_now : 0;
    pool_peak_now = pool_busy;
    pool_epoch = epoch;
}

static size_t recent_peak_locked() {
    return pool_peak_now > pool_peak_before ? pool_peak_now : pool_peak_before;
}

// Takes up to TRIM_BATCH of the oldest warm slots beyond what the recent
// peak may need again into trim[], marked SLOT_TRIMMING. Returns how many.
static size_t take_excess_locked(stack_slot_t **trim) {
    size_t peak = recent_peak_locked();
    size_t keep = peak > pool_busy ? peak - pool_busy : 0;
    size_t n = 0;
    while (pool_warm.count > keep && n < TRIM_BATCH) {
        stack_slot_t *slot = pool_warm.tail;
        list_remove(&pool_warm, slot);
        slot->state = SLOT_TRIMMING;
        trim[n++] = slot;
    }
    return n;
}

// Returns the pages of the slots in trim[] to the system and files the slots
// as cold. A failed madvise leaves the pages resident, which is harmless.
static void trim_slots(stack_slot_t **trim, size_t n) {
    if (n == 0) return;
    for (size_t i = 0; i < n; i++) {
        madvise(slot_stack(trim[i]), STACK_THREAD_BYTES, MADV_DONTNEED);
    }
    pthread_mutex_lock(&pool_lock);
    for (size_t i = 0; i < n; i++) {
        trim[i]->state = SLOT_COLD;
        list_push_head(&pool_cold, trim[i]);
    }
    pthread_mutex_unlock(&pool_lock);
}

// Marks slot busy and counts it into the recent peak.
static void hand_out_locked(stack_slot_t *slot) {
    assert(slot->state == SLOT_WARM || slot->state == SLOT_COLD);  // a new slot is zeroed: warm
    slot->state = SLOT_BUSY;
    pool_busy++;
    if (pool_busy > pool_peak_now) pool_peak_now = pool_busy;
}

// Takes a free slot for a new thread: the most recently used warm one, else
// a cold one, else a newly mapped one while the pool is below its cap.
// Returns nullptr when there is none (the pool is full, or out of memory).
static stack_slot_t *pool_take() {
    stack_slot_t *trim[TRIM_BATCH];
    stack_slot_t *slot = nullptr;
    bool grow = false;
    time_t epoch = current_epoch();

    pthread_mutex_lock(&pool_lock);
    reap_locked();
    enter_epoch_locked(epoch);
    if (pool_warm.head != nullptr) {
        slot = pool_warm.head;
        list_remove(&pool_warm, slot);
        hand_out_locked(slot);
    } else if (pool_cold.head != nullptr) {
        slot = pool_cold.head;
        list_remove(&pool_cold, slot);
        hand_out_locked(slot);
    } else if (pool_mapped.load(std::memory_order_relaxed) + pool_mapping < STACK_POOL_MAX_SLOTS) {
        pool_mapping++;
        grow = true;
    }
    size_t ntrim = take_excess_locked(trim);
    pthread_mutex_unlock(&pool_lock);

    trim_slots(trim, ntrim);
    if (!grow) return slot;

    char *block = block_map();
    pthread_mutex_lock(&pool_lock);
    pool_mapping--;
    if (block != nullptr) {
        size_t index = pool_mapped.load(std::memory_order_relaxed);
        slot = &pool_slots[index];
        slot->block = block;
        pool_mapped.store(index + 1, std::memory_order_release);
        hand_out_locked(slot);
    }
    pthread_mutex_unlock(&pool_lock);
    return slot;
}

// Files slot as retiring: it becomes free once its thread's id word is 0.
// Also right for a slot whose pthread_create failed: the word of a free slot
// is 0 already, and glibc sets it only for a thread it did clone, which
// clears it as it ends.
static void pool_retire(stack_slot_t *slot) {
    pthread_mutex_lock(&pool_lock);
    if (slot->state == SLOT_BUSY) {
        slot->state = SLOT_RETIRING;
        list_push_head(&pool_retiring, slot);
    }
    pthread_mutex_unlock(&pool_lock);
}

// Takes slot out of use for good; it stays mapped, as its thread may still
// be on it.
static void pool_lose(stack_slot_t *slot) {
    pthread_mutex_lock(&pool_lock);
    if (slot->state == SLOT_BUSY) {
        slot->state = SLOT_LOST;
        pool_busy--;
    }
    pthread_mutex_unlock(&pool_lock);
}

// ---------------------------------------------------------------- the threads

// Runs when a pooled thread's routine returns or the thread calls
// pthread_exit (or is cancelled): glibc's exit code still runs on the stack
// afterwards, so the slot only retires here.
static void pooled_thread_end(void *cell) { pool_retire(static_cast<stack_slot_t *>(cell)); }

// The start routine of every pooled thread. Not noexcept: pthread_exit
// unwinds through it.
static void *pooled_thread_start(void *cell) {
    stack_slot_t *slot = static_cast<stack_slot_t *>(cell);
    void *(*routine)(void *) = slot->routine;
    void *arg = slot->arg;
    void *result;

    // Where the checks found the descriptor and its id word must hold for
    // every thread, or the pool cannot tell when this stack is free again.
    char *self = reinterpret_cast<char *>(pthread_self());
    if (self != slot->block + pool_self_offset ||
        slot_tid_word(slot)->load(std::memory_order_relaxed) != gettid()) {
        disable_pool();
        pool_lose(slot);
        return routine(arg);
    }
    pthread_cleanup_push(pooled_thread_end, slot);
    result = routine(arg);
    pthread_cleanup_pop(1);
    return result;
}

// A detached thread on a stack of the library's own.
static int plain_thread_create(void *(*routine)(void *), void *arg) {
    pthread_attr_t attr;
    pthread_t tid;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setstacksize(&attr, STACK_THREAD_BYTES);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = pthread_create(&tid, &attr, routine, arg);
    pthread_attr_destroy(&attr);
    if (rc == 0) pool_plain_starts.fetch_add(1, std::memory_order_relaxed);
    return rc;
}

// Fills attr for a thread on slot's stack, detached or joinable. Returns 0
// or the error code; attr needs pthread_attr_destroy only on success.
static int slot_attr_init(pthread_attr_t *attr, const stack_slot_t *slot, int detach) {
    int rc = pthread_attr_init(attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setstack(attr, slot_stack(slot), STACK_THREAD_BYTES);
    if (rc == 0) rc = pthread_attr_setdetachstate(attr, detach);
    if (rc != 0) pthread_attr_destroy(attr);
    return rc;
}

// ---------------------------------------------------------------- run-time checks

// What a probe thread saw of itself.
struct probe_t {
    const stack_slot_t *slot;
    char *self;    // pthread_self()
    int tid;       // gettid()
    int on_stack;  // 1 if its locals were inside the slot's stack
    int ncandidates;
    size_t candidates[PROBE_MAX_CANDIDATES];  // offsets from self of words equal to tid
    std::atomic<int> done;                    // 1 once the fields above are set
};

// The records of the two probes. Not on the stack of the thread that runs
// the checks: a probe that starts after its deadline still fills its record,
// when that thread's frames hold other things long since.
static probe_t pool_probes[2];

// A probe thread, detached like every pooled thread: notes where it runs and
// which words of its descriptor hold its id.
static void *probe_thread(void *cell) {
    probe_t *probe = static_cast<probe_t *>(cell);
    char here = 0;
    char *lo = slot_stack(probe->slot);
    char *hi = lo + STACK_THREAD_BYTES;
    probe->self = reinterpret_cast<char *>(pthread_self());
    probe->tid = gettid();
    probe->on_stack = &here >= lo && &here < hi;
    probe->ncandidates = 0;
    if (probe->self >= lo && probe->self < hi) {
        size_t room = hi - probe->self;
        char *end = probe->self + (room < PROBE_SCAN_BYTES ? room : PROBE_SCAN_BYTES);
        for (char *p = probe->self; p + sizeof(int) <= end; p += sizeof(int)) {
            int word = reinterpret_cast<std::atomic<int> *>(p)->load(std::memory_order_relaxed);
            if (word == probe->tid && probe->ncandidates < PROBE_MAX_CANDIDATES) {
                probe->candidates[probe->ncandidates++] = p - probe->self;
            }
        }
    }
    probe->done.store(1, std::memory_order_release);
    return nullptr;
}

static long elapsed_ms(const struct timespec *since) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since->tv_sec) * 1000 + (now.tv_nsec - since->tv_nsec) / 1000000;
}

// Starts a detached probe on slot's stack and waits, until the deadline at
// most, for it to have run and for the kernel to clear the one word of its
// descriptor that held its id. Returns true when that happened; false when
// no thread started, the probe found no such word or more than one, or the
// deadline passed (the probe may then still be on the stack).
static bool run_probe(stack_slot_t *slot, probe_t *probe) {
    pthread_attr_t attr;
    pthread_t tid;
    struct timespec start;
    struct timespec pause = {0, 50 * 1000};
    probe->slot = slot;
    if (slot_attr_init(&attr, slot, PTHREAD_CREATE_DETACHED) != 0) return false;
    int rc = pthread_create(&tid, &attr, probe_thread, probe);
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (probe->done.load(std::memory_order_acquire) == 1) {
            if (probe->ncandidates != 1) return false;
            auto *word = reinterpret_cast<std::atomic<int> *>(probe->self + probe->candidates[0]);
            if (word->load(std::memory_order_acquire) == 0) return true;
        }
        if (elapsed_ms(&start) > PROBE_DEADLINE_MS) return false;
        nanosleep(&pause, nullptr);
    }
}

// Finds the descriptor and its id word with one probe, and confirms both
// with a second one on the same stack. Returns true when the pool may be
// turned on; the slot is then free again, as both probes are gone. When it
// returns false, a probe may still be on the slot's stack.
static bool calibrate_with(stack_slot_t *slot) {
    probe_t &first = pool_probes[0];
    if (!run_probe(slot, &first) || !first.on_stack) return false;
    probe_t &second = pool_probes[1];
    if (!run_probe(slot, &second) || !second.on_stack) return false;
    if (second.self != first.self || second.candidates[0] != first.candidates[0]) return false;
    pool_self_offset = first.self - slot->block;
    pool_tid_offset = pool_self_offset + first.candidates[0];
    return true;
}

// Maps the first slot and runs the checks on it; turns the pool on if all
// pass, off otherwise.
static void pool_calibrate() {
    long page = sysconf(_SC_PAGESIZE);
    long least = PTHREAD_STACK_MIN;  // a sysconf call in recent glibc
    if (page <= 0 || least < 0 || STACK_THREAD_BYTES % (size_t)page != 0 ||
        STACK_THREAD_BYTES < (size_t)least) {
        disable_pool();
        return;
    }
    pool_guard_bytes = page;
    char *block = block_map();
    if (block == nullptr) {
        disable_pool();
        return;
    }
    stack_slot_t *slot = &pool_slots[0];
    slot->block = block;
    bool ok = calibrate_with(slot);

    pthread_mutex_lock(&pool_lock);
    pool_mapped.store(1, std::memory_order_release);
    if (ok) {
        slot->state = SLOT_WARM;
        list_push_head(&pool_warm, slot);
    } else {
        slot->state = SLOT_LOST;
    }
    pthread_mutex_unlock(&pool_lock);
    if (ok) {
        int expected = POOL_UNCHECKED;
        pool_status.compare_exchange_strong(expected, POOL_ON, std::memory_order_acq_rel);
    } else {
        disable_pool();
    }
}

// ---------------------------------------------------------------- public interface

void stack_pool_init() noexcept { pthread_once(&pool_once, pool_calibrate); }

void stack_pool_disable() noexcept {
    stack_pool_init();
    disable_pool();
}

int stack_thread_create(void *(*routine)(void *), void *arg) noexcept {
    stack_pool_init();
    if (pool_status.load(std::memory_order_acquire) != POOL_ON) {
        return plain_thread_create(routine, arg);
    }
    stack_slot_t *slot = pool_take();
    if (slot == nullptr) return plain_thread_create(routine, arg);

    pthread_attr_t attr;
    int rc = slot_attr_init(&attr, slot, PTHREAD_CREATE_DETACHED);
    if (rc != 0) {
        pool_retire(slot);
        disable_pool();
        return plain_thread_create(routine, arg);
    }
    slot->routine = routine;
    slot->arg = arg;
    pthread_t tid;
    rc = pthread_create(&tid, &attr, pooled_thread_start, slot);
    pthread_attr_destroy(&attr);
    if (rc == 0) {
        pool_pooled_starts.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    pool_retire(slot);
    // EINVAL can only mean the thread library refused this stack.
    if (rc != EINVAL) return rc;
    disable_pool();
    return plain_thread_create(routine, arg);
}

int stack_pool_slot_of(const void *addr) noexcept {
    const char *p = static_cast<const char *>(addr);
    size_t mapped = pool_mapped.load(std::memory_order_acquire);
    for (size_t i = 0; i < mapped; i++) {
        const char *lo = slot_stack(&pool_slots[i]);
        if (p >= lo && p < lo + STACK_THREAD_BYTES) return (int)i;
    }
    return -1;
}

void stack_pool_stats(stack_pool_stats_t *out) noexcept {
    time_t epoch = current_epoch();
    pthread_mutex_lock(&pool_lock);
    if (pool_mapped.load(std::memory_order_relaxed) > 0) reap_locked();
    enter_epoch_locked(epoch);
    out->enabled = pool_status.load(std::memory_order_acquire) == POOL_ON;
    out->slots = pool_mapped.load(std::memory_order_relaxed);
    out->busy = pool_busy;
    out->warm = pool_warm.count;
    out->cold = pool_cold.count;
    out->recent_peak = recent_peak_locked();
    pthread_mutex_unlock(&pool_lock);
    out->pooled = pool_pooled_starts.load(std::memory_order_relaxed);
    out->plain = pool_plain_starts.load(std::memory_order_relaxed);
}
