# The programs' fuzz targets. Each compiles the program's own sources (and
# its edition of the library) with the fuzz flags; nothing of the programs'
# own targets is reused, so these build with PARTS=fuzz alone.

# The cache-model targets build their cache with its byte limits divided by
# 16 (cache.h): a 64 KiB budget fills and evicts with objects that live in
# reused memory. At 1 MiB every input faulted in megabytes of fresh pages and
# ran a thousand times a second.
set(CACHE_FUZZ_DEFS CACHE_BYTES_SCALE=16)

# slotproxy's connection thread, browser to origin, against a model.
add_fuzz_target(slotproxy_request_fuzz
  SOURCES slotproxy_request_fuzz.cpp request_rounds.cpp robix_net.cpp loopback.cpp report.cpp
          ${CMAKE_SOURCE_DIR}/slotproxy/cache.cpp ${CMAKE_SOURCE_DIR}/slotproxy/request.cpp ${CMAKE_SOURCE_DIR}/robix/cacheable.cpp
          ${CMAKE_SOURCE_DIR}/robix/stacks.cpp
  DEFS ROBIX_SLOT_EDITION)

# slotproxy's request and response core in process, by invariants, under many
# splits of the same bytes into reads; the line reader's reads come from a
# script.
add_fuzz_target(slotproxy_core_fuzz
  SOURCES slotproxy_core_fuzz.cpp report.cpp ${CMAKE_SOURCE_DIR}/robix/robix.cpp
          ${CMAKE_SOURCE_DIR}/slotproxy/cache.cpp ${CMAKE_SOURCE_DIR}/slotproxy/request.cpp ${CMAKE_SOURCE_DIR}/robix/cacheable.cpp
          ${CMAKE_SOURCE_DIR}/robix/stacks.cpp
  DEFS ROBIX_SLOT_EDITION read=fuzz_read)
target_compile_options(slotproxy_core_fuzz PRIVATE -fno-sanitize-coverage=trace-cmp)

# stampproxy's handle_connection, browser to origin, against a model.
add_fuzz_target(stampproxy_request_fuzz
  SOURCES stampproxy_request_fuzz.cpp request_rounds.cpp loopback.cpp report.cpp
          ${CMAKE_SOURCE_DIR}/robix/robix.cpp ${CMAKE_SOURCE_DIR}/stampproxy/cache.cpp
          ${CMAKE_SOURCE_DIR}/stampproxy/request.cpp ${CMAKE_SOURCE_DIR}/robix/cacheable.cpp ${CMAKE_SOURCE_DIR}/robix/stacks.cpp)

# slotproxy's slot table under a scripted clock, against a model of its rules.
add_fuzz_target(slotproxy_cache_fuzz
  SOURCES slotproxy_cache_fuzz.cpp report.cpp ${CMAKE_SOURCE_DIR}/robix/robix.cpp
  DEFS ROBIX_SLOT_EDITION ${CACHE_FUZZ_DEFS})

# stampproxy's list cache under a scripted clock, against a model of its rules.
add_fuzz_target(stampproxy_cache_fuzz
  SOURCES stampproxy_cache_fuzz.cpp report.cpp
  DEFS ${CACHE_FUZZ_DEFS})

# stageproxy's request thread, browser to origin, against a model.
if(EXISTS ${CMAKE_SOURCE_DIR}/stageproxy/proxy.cpp)
  add_fuzz_target(stageproxy_request_fuzz
    SOURCES stageproxy_request_fuzz.cpp request_rounds.cpp robix_net.cpp loopback.cpp report.cpp
            ${CMAKE_SOURCE_DIR}/stageproxy/cache.cpp ${CMAKE_SOURCE_DIR}/stageproxy/request.cpp ${CMAKE_SOURCE_DIR}/robix/cacheable.cpp
            ${CMAKE_SOURCE_DIR}/robix/stacks.cpp)
endif()

# stageproxy's request decisions in process, through the real line reader
# over scripted reads (read() renamed in the library), checked by invariants.
if(EXISTS ${CMAKE_SOURCE_DIR}/stageproxy/request.cpp)
  add_fuzz_target(stageproxy_core_fuzz
    SOURCES stageproxy_core_fuzz.cpp stageproxy_core_robix.cpp report.cpp
            ${CMAKE_SOURCE_DIR}/stageproxy/request.cpp ${CMAKE_SOURCE_DIR}/robix/cacheable.cpp
    DEFS read=fuzz_read)
  # Coverage feedback comes from the decisions alone: the harness's own loops
  # and the line reader would only add noise and cost. Comparison tracing on
  # every byte of 100 KB inputs costs more than it finds: the header names and
  # status codes it would discover are in the seeds, and string compares are
  # still hooked by the fuzzer.
  target_compile_options(stageproxy_core_fuzz PRIVATE -fno-sanitize-coverage=trace-cmp)
  set_source_files_properties(stageproxy_core_fuzz.cpp stageproxy_core_robix.cpp
    PROPERTIES COMPILE_OPTIONS -fno-sanitize=fuzzer)
endif()

# stageproxy's cache module under a scripted clock, against a model of its rules.
if(EXISTS ${CMAKE_SOURCE_DIR}/stageproxy/cache.cpp)
  add_fuzz_target(stageproxy_cache_fuzz
    SOURCES stageproxy_cache_fuzz.cpp report.cpp
    DEFS ${CACHE_FUZZ_DEFS})
endif()

# stampproxy's request and storing decisions in process, under many splits
# into reads, against properties of any right answer.
# Comparison tracing on every header byte of each split cost a quarter of the
# time and finds little: the header names and status codes it would discover
# are in the seeds, and string compares are still hooked by the fuzzer. The
# checks' own code adds no coverage guidance, only cost.
add_fuzz_target(stampproxy_core_fuzz
  SOURCES stampproxy_core_fuzz.cpp report.cpp ${CMAKE_SOURCE_DIR}/stampproxy/request.cpp ${CMAKE_SOURCE_DIR}/robix/cacheable.cpp)
target_compile_options(stampproxy_core_fuzz PRIVATE -fno-sanitize-coverage=trace-cmp)
set_source_files_properties(stampproxy_core_fuzz.cpp PROPERTIES
  COMPILE_OPTIONS -fno-sanitize=fuzzer)
