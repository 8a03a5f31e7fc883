# slotproxy's tests: the slot table in-process, and the whole program over
# loopback (relay and cache; bad input, faults and start-up).
add_project_test(slotproxy_cache_test robix_slot)
target_link_libraries(slotproxy_cache_test PRIVATE slotproxy_cache)

foreach(t slotproxy_e2e_test slotproxy_faults_test)
  add_program_test(${t} robix_slot slotproxy)
endforeach()
