# Helpers shared by every folder of the tree.

set(QV_VERSION_TEXT "${PROJECT_VERSION}.0")

# qv_program(<name> <sources...> [LIBS <libs...>])
# A program of the system: it carries the version stamp inside its file.
function(qv_program name)
  cmake_parse_arguments(P "" "" "LIBS" ${ARGN})
  add_executable(${name} ${P_UNPARSED_ARGUMENTS} ${CMAKE_SOURCE_DIR}/platform/version_stamp.cc)
  target_compile_definitions(${name} PRIVATE QV_VERSION_TEXT="${QV_VERSION_TEXT}")
  target_link_libraries(${name} PRIVATE ${P_LIBS})
endfunction()

# qv_module_tests(<module> <libs...>)
# One test program per module from <module>/tests/*_test.cc, run by CTest.
function(qv_module_tests module)
  if(NOT QV_TESTS OR QV_FUZZ)
    return()
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cc)
  if(NOT srcs)
    return()
  endif()
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_util.cc)
  add_executable(${module}_tests ${srcs} ${helpers} ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
  target_include_directories(${module}_tests PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${module}_tests PRIVATE ${ARGN} GTest::gtest GTest::gtest_main pthread)
  target_compile_definitions(${module}_tests PRIVATE
    QV_BIN_DIR="${CMAKE_BINARY_DIR}/bin" QV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME ${module} COMMAND ${module}_tests)
  set_tests_properties(${module} PROPERTIES ENVIRONMENT "QV_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()

# qv_module_fuzzers(<module> <libs...>)
# Every <module>/fuzz/*_fuzz.cc defines LLVMFuzzerTestOneInput. With QV_FUZZ it is a libFuzzer
# program run for a bounded time; otherwise it is linked with a small driver that replays the
# seed corpus and a set of generated inputs, so the ordinary test run exercises it too.
function(qv_module_fuzzers module)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/*_fuzz.cc)
  foreach(src ${srcs})
    get_filename_component(name ${src} NAME_WE)
    set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${name})
    if(QV_FUZZ)
      add_executable(${name} ${src})
      target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
      target_link_libraries(${name} PRIVATE ${ARGN} -fsanitize=fuzzer)
      set(seconds $ENV{QV_FUZZ_SECONDS})
      if(NOT seconds)
        set(seconds 15)
      endif()
      add_test(NAME fuzz_${name}
        COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/run_fuzz.sh $<TARGET_FILE:${name}> ${seconds}
          ${CMAKE_CURRENT_BINARY_DIR}/corpus_${name} ${corpus})
    elseif(QV_TESTS)
      add_executable(${name} ${src} ${CMAKE_SOURCE_DIR}/common/testing/fuzz_driver.cc)
      target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
      target_link_libraries(${name} PRIVATE ${ARGN})
      add_test(NAME replay_${name} COMMAND ${name} ${corpus})
    endif()
  endforeach()
endfunction()
