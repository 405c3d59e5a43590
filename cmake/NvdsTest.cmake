find_package(GTest REQUIRED)

# nvds_add_test(NAME <name> SOURCES <files...> LIBS <libs...> [LABELS <labels...>] [TIMEOUT <s>])
# One GoogleTest executable per area, linked against the libraries under test.
function(nvds_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main nvds_warnings)
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_dependencies(${T_NAME} nvds_data)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Tests labelled xvfb drive real X input: they keep the platform of the X server they run
  # under; all others draw offscreen. No test touches the real home: the user's own tag database goes to a scratch folder,
  # the line's journal to another.
  set(T_ENV "NVDS_TEST_DATA=${CMAKE_SOURCE_DIR}/tests/data"
    "XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-data-home"
    "XDG_STATE_HOME=${CMAKE_BINARY_DIR}/test-state-home")
  if(NOT "xvfb" IN_LIST T_LABELS)
    list(APPEND T_ENV "QT_QPA_PLATFORM=offscreen")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENV}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
