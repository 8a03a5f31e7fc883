# The stress and fault suite: each whole program under load, failing peers,
# bad input and a memory bound. `make test` runs it at CI size; `make stress`
# (STRESS_FULL=1 ctest -L stress) at full size. A program's rows exist only
# when its target does.
add_library(stress_support STATIC stress_support.cpp)
target_compile_options(stress_support PRIVATE ${PROJECT_WARNINGS})
# The table of programs and running_t are the harness's (tests/harness/).
target_link_libraries(stress_support PUBLIC programs)
# Under ThreadSanitizer, glibc's resolver reports a race on its own heap
# blocks when fresh threads call gethostbyname_r at once (its internal locks
# are invisible to the sanitizer; a program of twenty lines that shares no
# data shows it too). The programs under test get this one suppression.
set(stress_tsan_supp ${CMAKE_CURRENT_BINARY_DIR}/stress_tsan.supp)
file(WRITE ${stress_tsan_supp} "race:__libc_dynarray_emplace_enlarge\n")
target_compile_definitions(stress_support PRIVATE STRESS_TSAN_SUPPRESSIONS="${stress_tsan_supp}")

set(stress_tests stress_load_test stress_faults_test stress_memory_test stress_input_test)
foreach(t ${stress_tests})
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${t}.cpp)
    continue()
  endif()
  add_project_test(${t} robix)
  target_link_libraries(${t} PRIVATE stress_support)
endforeach()

# gtest_discover_tests names the tests only when CTest runs, so the label
# (and a time limit that fits the full size) is set by a script that CTest
# reads after the discovered lists.
set(stress_labels ${CMAKE_CURRENT_BINARY_DIR}/stress_labels.cmake)
file(WRITE ${stress_labels} "")
foreach(t ${stress_tests})
  file(APPEND ${stress_labels}
       "foreach(name IN LISTS ${t}_TESTS)\n"
       "  set_tests_properties(\"\${name}\" PROPERTIES LABELS stress TIMEOUT 1500)\n"
       "endforeach()\n")
endforeach()
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${stress_labels})
