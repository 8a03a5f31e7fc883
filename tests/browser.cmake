# The real-browser test: headless Chromium through each of the three
# programs (skipped at run time where /usr/bin/chromium is absent).
if(TARGET stampproxy AND TARGET stageproxy AND TARGET slotproxy)
  add_project_test(browser_test robix)
  target_compile_definitions(browser_test PRIVATE
    STAMPPROXY_BIN="$<TARGET_FILE:stampproxy>"
    STAGEPROXY_BIN="$<TARGET_FILE:stageproxy>"
    SLOTPROXY_BIN="$<TARGET_FILE:slotproxy>")
  add_dependencies(browser_test stampproxy stageproxy slotproxy)
endif()
