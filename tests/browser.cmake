# The real-browser test: headless Chromium through each program of the table
# (skipped at run time where /usr/bin/chromium is absent).
add_project_test(browser_test robix)
target_link_libraries(browser_test PRIVATE programs)
