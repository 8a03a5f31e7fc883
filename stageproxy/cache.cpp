// stageproxy's response cache: the list, its budget and its lock. Every
// function here runs under the caller's hold on rwlock (or before any thread
// exists); none takes a lock. See cache.h for the rules of each.
#include "cache.h"

#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "rwlock.h"

cacheEntry *head = nullptr;
int available = MAX_CACHE_SIZE;
pthread_rwlock_t rwlock;

long entryCharge(const char *url, int size) {
    return (long)size + (long)strlen(url) + 1 + ENTRY_RECORD_CHARGE;
}

int initCache(void) {
    head = nullptr;
    available = MAX_CACHE_SIZE;
    (void)rwlock_init_writer_first(&rwlock);
    return 1;
}

cacheEntry *cacheGet(const char *url) {
    for (cacheEntry *entry = head; entry != nullptr; entry = entry->next) {
        if (strcmp(entry->url, url) == 0) {
            entry->time.store(::time(nullptr), std::memory_order_relaxed);
            return entry;
        }
    }
    return nullptr;
}

void cacheHold(cacheEntry *entry) {
    // The list's own reference keeps the count above 0 while the caller's
    // hold on rwlock lasts, so a plain increment is enough here.
    entry->refs.fetch_add(1, std::memory_order_relaxed);
}

void cacheRelease(cacheEntry *entry) {
    // Release, so this holder's reads of the entry come before the free;
    // acquire, so the freeing holder sees every other holder's reads done.
    if (entry->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) freeEntry(entry);
}

int cacheInsert(const char *url, const char *data, int length) {
    if (length < 0) return 0;
    const long charge = entryCharge(url, length);
    if (charge > MAX_CACHE_SIZE) return 0;
    while (charge > available && head != nullptr) evict();

    size_t urlLength = strlen(url) + 1;
    char *urlCopy = static_cast<char *>(malloc(urlLength));
    // One byte at least, so that an empty response still owns a block.
    char *dataCopy = static_cast<char *>(malloc(length > 0 ? (size_t)length : 1));
    cacheEntry *entry = new (std::nothrow) cacheEntry;
    if (urlCopy == nullptr || dataCopy == nullptr || entry == nullptr) {
        free(urlCopy);
        free(dataCopy);
        delete entry;
        return 0;
    }
    memcpy(urlCopy, url, urlLength);
    if (length > 0) memcpy(dataCopy, data, (size_t)length);

    available -= (int)charge;
    assert(available >= 0);
    entry->url = urlCopy;
    entry->data = dataCopy;
    entry->size = length;
    entry->time.store(::time(nullptr), std::memory_order_relaxed);
    entry->next = head;
    head = entry;
    puts("Successfully cached.");
    return 1;
}

void evict(void) {
    if (head == nullptr) return;
    cacheEntry *lowEntry = head, *lowPrev = nullptr;
    time_t low = head->time.load(std::memory_order_relaxed);
    cacheEntry *previous = head;
    for (cacheEntry *entry = head->next; entry != nullptr; previous = entry, entry = entry->next) {
        time_t stamp = entry->time.load(std::memory_order_relaxed);
        // Strictly less: of equal stamps the one nearest the front stays the
        // candidate.
        if (stamp < low) {
            low = stamp;
            lowEntry = entry;
            lowPrev = previous;
        }
    }
    available += (int)entryCharge(lowEntry->url, lowEntry->size);
    assert(available <= MAX_CACHE_SIZE);
    if (lowPrev == nullptr) {
        head = lowEntry->next;
    } else {
        lowPrev->next = lowEntry->next;
    }
    lowEntry->next = nullptr;
    cacheRelease(lowEntry);
}

void freeEntry(cacheEntry *entry) {
    if (entry == nullptr) return;
    free(entry->data);
    free(entry->url);
    delete entry;
}

const char *cacheCheckInvariants(void) {
    long used = 0;
    for (cacheEntry *entry = head; entry != nullptr; entry = entry->next) {
        if (entry->url == nullptr || entry->data == nullptr) return "entry without key or data";
        if (entry->size < 0 || entry->size > MAX_CACHE_SIZE) return "entry size out of bounds";
        if (entry->refs.load(std::memory_order_relaxed) < 1) return "linked entry not held";
        used += entryCharge(entry->url, entry->size);
    }
    if (available < 0) return "budget overdrawn";
    if (used + available != MAX_CACHE_SIZE) return "budget does not match the linked charges";
    return nullptr;
}

void cacheClear(void) {
    while (head != nullptr) {
        cacheEntry *entry = head;
        head = entry->next;
        entry->next = nullptr;
        cacheRelease(entry);
    }
    available = MAX_CACHE_SIZE;
}
