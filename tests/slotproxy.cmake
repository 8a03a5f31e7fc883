# slotproxy's tests: the slot table in-process, and the whole program over
# loopback (relay and cache; bad input, faults and start-up).
add_project_test(slotproxy_cache_test robix_slot)
target_link_libraries(slotproxy_cache_test PRIVATE slotproxy_cache)

# Failing thread creation on demand: the accept/thread/write shim written for
# stageproxy's tests works for any program (it only wraps libc calls), built
# here under a name of its own so that slotproxy's tests stand alone.
add_library(slotproxy_faults_shim SHARED stageproxy_faults_shim.cpp)
set_property(TARGET slotproxy_faults_shim PROPERTY COMPILE_OPTIONS ${PROJECT_WARNINGS})
set_property(TARGET slotproxy_faults_shim PROPERTY LINK_OPTIONS "")
target_link_libraries(slotproxy_faults_shim PRIVATE ${CMAKE_DL_LIBS})

foreach(t slotproxy_e2e_test slotproxy_faults_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${t}.cpp)
    add_project_test(${t} robix_slot)
    target_compile_definitions(${t} PRIVATE PROXY_BIN="$<TARGET_FILE:slotproxy>"
                                            FAULTS_SHIM="$<TARGET_FILE:slotproxy_faults_shim>")
    add_dependencies(${t} slotproxy slotproxy_faults_shim)
  endif()
endforeach()
