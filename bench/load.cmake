# The load generator, a milter that does no work and the crypto floor, for the
# daemon's performance table (bench/run-load.sh runs them all; docs/performance.md
# holds the figures). Run by hand, not part of ctest.
add_library(bench_support STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/process_usage.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/crypto_floor_parts.cpp)
target_link_libraries(bench_support PUBLIC tollbrook)
add_executable(milter-load ${CMAKE_CURRENT_SOURCE_DIR}/milter_load.cpp)
target_link_libraries(milter-load PRIVATE bench_support tollbrook)
add_executable(trivial-milter ${CMAKE_CURRENT_SOURCE_DIR}/trivial_milter.cpp)
target_link_libraries(trivial-milter PRIVATE tollbrook)
add_executable(crypto-floor ${CMAKE_CURRENT_SOURCE_DIR}/crypto_floor.cpp)
target_link_libraries(crypto-floor PRIVATE bench_support tollbrook)
