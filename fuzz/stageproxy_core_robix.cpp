// The line reader for stageproxy_core_fuzz: the library's source under a name
// of its own, so that it can be built without coverage feedback (which the
// harness needs only from the decisions under test) and with read() renamed
// to the harness's scripted reads, without touching the other targets that
// compile robix.cpp.
#include "../robix/robix.cpp"
