# Benchmarks of monitor mode.
add_executable(bench_monitor bench_monitor.cpp)
target_link_libraries(bench_monitor PRIVATE tavrik_session tavrik_simusb tavrik::yuv Qt6::Core)
tavrik_warnings(bench_monitor)
# A short run keeps the benchmark working; its figures are printed, not judged.
# It uses the frame share's own names, as the monitor-mode tests do.
add_test(NAME bench_monitor_quick COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:bench_monitor> --quick)
set_tests_properties(bench_monitor_quick PROPERTIES LABELS bench TIMEOUT 300 RESOURCE_LOCK tavrik_frame_share)

# The real driver on a virtual X server, extend against mirror.
if(TARGET tavrik_monitor_testsupport AND TARGET tavrik_wayland_testsupport AND TARGET telvdrv)
  add_executable(bench_extend bench_extend.cpp)
  target_link_libraries(bench_extend PRIVATE tavrik_session tavrik_simusb tavrik_monitor_testsupport Qt6::Core)
  target_compile_definitions(bench_extend PRIVATE TELVDRV_PATH="$<TARGET_FILE:telvdrv>")
  add_dependencies(bench_extend telvdrv)
  tavrik_warnings(bench_extend)
  add_test(NAME bench_extend_quick COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:bench_extend> --quick)
  set_tests_properties(bench_extend_quick PROPERTIES LABELS bench TIMEOUT 300 RESOURCE_LOCK tavrik_frame_share)
  # A touch on the glass to the press in a window on the extend monitor.
  add_executable(bench_touch bench_touch.cpp)
  target_link_libraries(bench_touch PRIVATE tavrik_session tavrik_simusb tavrik_monitor_testsupport Qt6::Gui)
  target_compile_definitions(bench_touch PRIVATE TELVDRV_PATH="$<TARGET_FILE:telvdrv>")
  add_dependencies(bench_touch telvdrv)
  tavrik_warnings(bench_touch)
  add_test(NAME bench_touch_quick COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:bench_touch> --quick)
  set_tests_properties(bench_touch_quick PROPERTIES LABELS bench TIMEOUT 300 RESOURCE_LOCK tavrik_frame_share)
  # The same inside a headless GNOME session (mutter and its portal).
  target_link_libraries(bench_extend PRIVATE tavrik_wayland_testsupport)
  target_compile_definitions(bench_extend PRIVATE PICTUREWINDOW_PATH="$<TARGET_FILE:tavrik_picturewindow>")
  add_dependencies(bench_extend tavrik_picturewindow)
  add_test(NAME bench_extend_gnome_quick COMMAND ${CMAKE_SOURCE_DIR}/tests/wayland/wayland-session --gnome
    -- ${UMOCKDEV_WRAPPER} $<TARGET_FILE:bench_extend> --wayland --quick)
  set_tests_properties(bench_extend_gnome_quick PROPERTIES LABELS bench TIMEOUT 300 RESOURCE_LOCK "tavrik_wayland;tavrik_frame_share"
    SKIP_RETURN_CODE 77)
endif()

# The monitor service: plug-in and wake to the first picture, and its idle
# cost, with the stand-in driver beside it.
if(TARGET tavrik-monitord AND TARGET tavrik_fakedriver AND COMMAND tavrik_service_folder)
  add_executable(bench_autoshow bench_autoshow.cpp)
  target_link_libraries(bench_autoshow PRIVATE tavrik_session tavrik_simusb tavrik_monitor_testsupport Qt6::DBus)
  set(svc ${CMAKE_CURRENT_BINARY_DIR}/autoshow)
  tavrik_service_folder(bench_autoshow ${svc} tavrik_fakedriver)
  target_compile_definitions(bench_autoshow PRIVATE MONITORD_PATH="${svc}/tavrik-monitord")
  tavrik_warnings(bench_autoshow)
  add_test(NAME bench_autoshow_quick COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:bench_autoshow> --quick)
  set_tests_properties(bench_autoshow_quick PROPERTIES LABELS bench TIMEOUT 300 RESOURCE_LOCK tavrik_frame_share)
endif()
