# Benchmarks of monitor mode.
add_executable(bench_monitor bench_monitor.cpp)
target_link_libraries(bench_monitor PRIVATE tavrik_session tavrik_simusb tavrik::yuv Qt6::Core)
tavrik_warnings(bench_monitor)
# A short run keeps the benchmark working; its figures are printed, not judged.
# It uses the frame share's own names, as the monitor-mode tests do.
add_test(NAME bench_monitor_quick COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:bench_monitor> --quick)
set_tests_properties(bench_monitor_quick PROPERTIES LABELS bench TIMEOUT 300 RESOURCE_LOCK tavrik_frame_share)
