# recordstore_bench: keyed lookups, adds and a user import on the record store, with Google
# Benchmark (run build/<dir>/bin/recordstore_bench).
find_package(benchmark REQUIRED)
add_executable(recordstore_bench ${CMAKE_CURRENT_SOURCE_DIR}/recordstore_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(recordstore_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(recordstore_bench PRIVATE qvcommon benchmark::benchmark)
