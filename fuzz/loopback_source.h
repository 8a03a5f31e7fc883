// Compiles in the source that LOOPBACK_SOURCE names (a string, relative to
// this folder) with its resolver, socket() and connect() calls routed to the
// harness's stand-ins (loopback.h), so that no name is resolved for real and
// every origin connection lands on the harness's origin. Include the system
// headers the source uses first, so that the renaming touches only its own
// calls.
#include "loopback.h"

#define gethostbyname fuzz_gethostbyname
#define gethostbyname_r fuzz_gethostbyname_r
#define connect fuzz_connect
#define socket fuzz_socket
#include LOOPBACK_SOURCE
#undef socket
#undef connect
#undef gethostbyname_r
#undef gethostbyname
#undef LOOPBACK_SOURCE
