# stageproxy's tests: the cache in-process; the pipeline's stages in-process
# (the program's source compiled into the test, its main renamed); the whole
# program over loopback, with a preloaded shim that injects accept, thread
# and write failures.
add_project_test(stageproxy_cache_test robix)
target_link_libraries(stageproxy_cache_test PRIVATE stageproxy_cache)

add_project_test(stageproxy_stages_test robix)
target_include_directories(stageproxy_stages_test PRIVATE ${CMAKE_SOURCE_DIR}/stageproxy)
target_link_libraries(stageproxy_stages_test PRIVATE stageproxy_cache robix_stacks)

# The shim runs inside the program under test; it is left uninstrumented so
# that a sanitizer build's runtime stays the only one in the process.
add_library(stageproxy_faults_shim SHARED stageproxy_faults_shim.cpp)
set_property(TARGET stageproxy_faults_shim PROPERTY COMPILE_OPTIONS ${PROJECT_WARNINGS})
set_property(TARGET stageproxy_faults_shim PROPERTY LINK_OPTIONS "")
target_link_libraries(stageproxy_faults_shim PRIVATE ${CMAKE_DL_LIBS})
# The same shim that also makes chosen allocations fail.
add_library(stageproxy_faults_malloc_shim SHARED stageproxy_faults_shim.cpp)
set_property(TARGET stageproxy_faults_malloc_shim PROPERTY COMPILE_OPTIONS ${PROJECT_WARNINGS})
set_property(TARGET stageproxy_faults_malloc_shim PROPERTY LINK_OPTIONS "")
target_compile_definitions(stageproxy_faults_malloc_shim PRIVATE SHIM_MALLOC_FAULTS)
target_link_libraries(stageproxy_faults_malloc_shim PRIVATE ${CMAKE_DL_LIBS})

foreach(t stageproxy_e2e_test stageproxy_startup_test)
  add_project_test(${t} robix)
  target_compile_definitions(${t} PRIVATE PROXY_BIN="$<TARGET_FILE:stageproxy>"
                                          SHORT_PROXY_BIN="$<TARGET_FILE:stageproxy_shorttimeouts>"
                                          FAULTS_SHIM="$<TARGET_FILE:stageproxy_faults_shim>"
                                          FAULTS_MALLOC_SHIM="$<TARGET_FILE:stageproxy_faults_malloc_shim>")
  add_dependencies(${t} stageproxy stageproxy_shorttimeouts stageproxy_faults_shim
                   stageproxy_faults_malloc_shim)
endforeach()
