kestrel_add_test(app_start_tests
  SOURCES app_start_test.cpp
  LIBS kestrel_app_start plover kestrel_platform)
