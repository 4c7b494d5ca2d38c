# The daemon's process control in real processes: detaching, the pid file and
# its lock, runtime directories, the privilege drop (as root, with a throwaway
# system user) and the descriptor limit.
add_library(startup_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/startup_test_support.cpp)
target_include_directories(startup_test_support PUBLIC ${PROJECT_SOURCE_DIR})

tollbrook_tests(startup_process_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/startup_daemonize_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/startup_fd_limit_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/startup_pid_file_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/startup_privileges_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/startup_runtime_dir_test.cpp
  LIBRARIES tollbrook_daemon startup_test_support dns_test_support program_test_support
)
