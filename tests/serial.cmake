# Read by CTest after the discovered tests: tests that measure processor load
# run alone, so that no other test's threads take the processor they measure.
set_tests_properties("ZDebugGetPerformance.ShowsABusyThreadAndKeepsTheFiguresOfAnEndedOne" PROPERTIES RUN_SERIAL TRUE)
