# slotproxy's tests: the slot table in-process, and the whole program over
# loopback (relay and cache; bad input, faults and start-up).
add_project_test(slotproxy_cache_test robix_slot)
target_link_libraries(slotproxy_cache_test PRIVATE slotproxy_cache)

# The program with time-outs of 1, 1 and 2 seconds, so that the tests can
# watch each fire; built for the tests only, never installed.
add_executable(slotproxy_shorttimeouts ${CMAKE_SOURCE_DIR}/slotproxy/proxy.cpp)
target_compile_definitions(slotproxy_shorttimeouts PRIVATE PROXY_TEST_TIMEOUTS)
target_compile_options(slotproxy_shorttimeouts PRIVATE ${PROJECT_WARNINGS})
target_link_libraries(slotproxy_shorttimeouts PRIVATE slotproxy_cache slotproxy_request robix_slot
                      robix_stacks)

foreach(t slotproxy_e2e_test slotproxy_faults_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${t}.cpp)
    add_project_test(${t} robix_slot)
    target_link_libraries(${t} PRIVATE programs)
    target_compile_definitions(${t} PRIVATE PROXY_BIN="$<TARGET_FILE:slotproxy>"
                                            SHORT_BIN="$<TARGET_FILE:slotproxy_shorttimeouts>"
                                            ${FAULTS_DEFS})
    add_dependencies(${t} slotproxy slotproxy_shorttimeouts faults_shim faults_malloc_shim)
  endif()
endforeach()
