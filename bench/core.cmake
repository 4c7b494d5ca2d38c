# Benchmarks of the message core, run by hand (not part of ctest).
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(parse_message_bench ${CMAKE_CURRENT_SOURCE_DIR}/parse_message_bench.cpp)
  target_link_libraries(parse_message_bench PRIVATE tollbrook benchmark::benchmark)
endif()
