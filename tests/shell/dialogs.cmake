# The engine's dialogs on the offscreen platform, and the single-instance
# rule (plain POSIX: no Qt in its test).
find_package(Qt6 QUIET COMPONENTS Test)
if(TARGET Qt6::Test)
  kestrel_add_gui_test(shell_dialogs_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/adapter_dialogs_test.cpp
    LIBS kestrel_shell_dialogs Qt6::Test)
else()
  message(STATUS "shell_dialogs_test not built: Qt 6 Test is missing (apt-get install qt6-base-dev)")
endif()

kestrel_add_test(single_instance_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/single_instance_test.cpp LIBS kestrel_single_instance)
set_target_properties(single_instance_test PROPERTIES AUTOMOC OFF)
