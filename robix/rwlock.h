// The set-up of a cache's reader-writer lock, for the programs whose cache
// uses one. Header only, so that a cache compiled alone (its tests, its fuzz
// model) needs nothing else of the library.
#ifndef ROBIX_RWLOCK_H
#define ROBIX_RWLOCK_H

#include <pthread.h>

// Initialises *lock so that a waiting writer goes before readers that come
// after it. Every request holds the read side for its lookup, so under
// steady load the lock is almost never free of readers: with the default
// preference for readers, a miss could wait for ever behind a stream of hits
// to insert its response. Start-up only, before threads exist. Returns
// pthread_rwlock_init's result (0, or an error code with *lock unusable).
inline int rwlock_init_writer_first(pthread_rwlock_t *lock) {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    int rc = pthread_rwlock_init(lock, &attr);
    pthread_rwlockattr_destroy(&attr);
    return rc;
}

#endif  // ROBIX_RWLOCK_H
