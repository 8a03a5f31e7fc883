# The programs' fuzz targets. Each compiles the program's own sources (and
# its edition of the library) with the fuzz flags; nothing of the programs'
# own targets is reused, so these build with PARTS=fuzz alone.

# slotproxy's connection thread, browser to origin, against a model.
add_fuzz_target(slotproxy_request_fuzz
  SOURCES slotproxy_request_fuzz.cpp robix_net.cpp loopback.cpp
          ${CMAKE_SOURCE_DIR}/slotproxy/cache.cpp
  DEFS ROBIX_SLOT_EDITION)

# stampproxy's handle_connection, browser to origin, against a model.
add_fuzz_target(stampproxy_request_fuzz
  SOURCES stampproxy_request_fuzz.cpp loopback.cpp
          ${CMAKE_SOURCE_DIR}/robix/robix.cpp ${CMAKE_SOURCE_DIR}/stampproxy/cache.cpp
          ${CMAKE_SOURCE_DIR}/stampproxy/request.cpp)

# slotproxy's slot table under a scripted clock, against a model of its rules.
add_fuzz_target(slotproxy_cache_fuzz
  SOURCES slotproxy_cache_fuzz.cpp ${CMAKE_SOURCE_DIR}/robix/robix.cpp
  DEFS ROBIX_SLOT_EDITION)

# stampproxy's list cache under a scripted clock, against a model of its rules.
add_fuzz_target(stampproxy_cache_fuzz
  SOURCES stampproxy_cache_fuzz.cpp)

# stageproxy's request thread, browser to origin, against a model.
if(EXISTS ${CMAKE_SOURCE_DIR}/stageproxy/proxy.cpp)
  add_fuzz_target(stageproxy_request_fuzz
    SOURCES stageproxy_request_fuzz.cpp robix_net.cpp loopback.cpp
            ${CMAKE_SOURCE_DIR}/stageproxy/cache.cpp)
endif()

# stageproxy's cache module under a scripted clock, against a model of its rules.
if(EXISTS ${CMAKE_SOURCE_DIR}/stageproxy/cache.cpp)
  add_fuzz_target(stageproxy_cache_fuzz
    SOURCES stageproxy_cache_fuzz.cpp)
endif()

# stampproxy's request and storing decisions in process, under many splits
# into reads, against properties of any right answer.
# The checks' own comparisons are not traced: the guidance is the program's,
# and tracing them cost most of the time.
add_fuzz_target(stampproxy_core_fuzz
  SOURCES stampproxy_core_fuzz.cpp loopback.cpp ${CMAKE_SOURCE_DIR}/stampproxy/request.cpp)
set_source_files_properties(stampproxy_core_fuzz.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-sanitize-coverage=trace-cmp")
