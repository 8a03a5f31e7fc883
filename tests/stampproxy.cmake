# stampproxy's tests: the cache in-process; the whole program over loopback.
add_project_test(stampproxy_cache_test robix)
target_link_libraries(stampproxy_cache_test PRIVATE stampproxy_cache)

foreach(t stampproxy_e2e_test stampproxy_startup_test)
  add_program_test(${t} robix stampproxy)
endforeach()
