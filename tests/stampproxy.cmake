# stampproxy's tests: the cache in-process; the whole program over loopback,
# with a preloaded shim that injects accept, thread and write failures.
add_project_test(stampproxy_cache_test robix)
target_link_libraries(stampproxy_cache_test PRIVATE stampproxy_cache)

# The shim runs inside the program under test; it is left uninstrumented so
# that a sanitizer build's runtime stays the only one in the process.
add_library(stampproxy_faults_shim SHARED stampproxy_faults_shim.cpp)
set_property(TARGET stampproxy_faults_shim PROPERTY COMPILE_OPTIONS ${PROJECT_WARNINGS})
set_property(TARGET stampproxy_faults_shim PROPERTY LINK_OPTIONS "")
target_link_libraries(stampproxy_faults_shim PRIVATE ${CMAKE_DL_LIBS})
if(SANITIZE)
  target_compile_definitions(stampproxy_faults_shim PRIVATE SHIM_NO_MALLOC)
endif()

foreach(t stampproxy_e2e_test stampproxy_startup_test)
  add_project_test(${t} robix)
  target_compile_definitions(${t} PRIVATE PROXY_BIN="$<TARGET_FILE:stampproxy>"
                                          PROXY_SHORT_BIN="$<TARGET_FILE:stampproxy_shorttimeouts>"
                                          FAULTS_SHIM="$<TARGET_FILE:stampproxy_faults_shim>")
  add_dependencies(${t} stampproxy stampproxy_shorttimeouts stampproxy_faults_shim)
endforeach()
