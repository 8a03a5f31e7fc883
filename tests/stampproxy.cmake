# stampproxy's tests: the cache in-process; the whole program over loopback,
# with a preloaded shim that injects accept, thread and write failures.
add_project_test(stampproxy_cache_test robix)
target_link_libraries(stampproxy_cache_test PRIVATE stampproxy_cache)

foreach(t stampproxy_e2e_test stampproxy_startup_test)
  add_project_test(${t} robix)
  target_link_libraries(${t} PRIVATE programs)
  target_compile_definitions(${t} PRIVATE PROXY_BIN="$<TARGET_FILE:stampproxy>"
                                          PROXY_SHORT_BIN="$<TARGET_FILE:stampproxy_shorttimeouts>"
                                          ${FAULTS_DEFS})
  add_dependencies(${t} stampproxy stampproxy_shorttimeouts faults_shim faults_malloc_shim)
endforeach()
