# stageproxy's tests: the cache in-process; the pipeline's stages in-process
# (the program's source compiled into the test, its main renamed); the whole
# program over loopback.
add_project_test(stageproxy_cache_test robix)
target_link_libraries(stageproxy_cache_test PRIVATE stageproxy_cache)

add_project_test(stageproxy_stages_test robix)
target_include_directories(stageproxy_stages_test PRIVATE ${CMAKE_SOURCE_DIR}/stageproxy)
target_link_libraries(stageproxy_stages_test PRIVATE stageproxy_cache robix_stacks)

foreach(t stageproxy_e2e_test stageproxy_startup_test)
  add_program_test(${t} robix stageproxy)
endforeach()
