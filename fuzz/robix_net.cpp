// The library as the request fuzzers link it, in either edition (as the
// target sets ROBIX_SLOT_EDITION): the same source, with its host lookups,
// socket() and connect() routed to the harness's stand-ins (loopback.h), so
// that no name is resolved for real and every origin connection lands on the
// harness's origin. The system headers come first, so that the renaming
// below touches only the calls in robix.cpp.
#include "robix.h"  // every system header robix.cpp uses

#include "loopback.h"

#define gethostbyname fuzz_gethostbyname
#define gethostbyname_r fuzz_gethostbyname_r
#define connect fuzz_connect
#define socket fuzz_socket
#include "../robix/robix.cpp"
#undef socket
#undef connect
#undef gethostbyname_r
#undef gethostbyname
