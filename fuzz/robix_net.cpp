// The library as the request fuzzers link it, in either edition (as the
// target sets ROBIX_SLOT_EDITION): the same source, with its host lookups,
// socket() and connect() routed to the harness's stand-ins.
#include "robix.h"  // every system header robix.cpp uses

#define LOOPBACK_SOURCE "../robix/robix.cpp"
#include "loopback_source.h"
