# pellora_add_gui_test(NAME SOURCES a.cpp... LIBS lib...)
# A GUI test: its own main() creates the QApplication before GoogleTest runs, so it links
# gtest without gtest_main. Each case becomes a ctest test labelled `gui` that runs offscreen.
find_package(Qt6 REQUIRED COMPONENTS Widgets Gui Network Test)

function(pellora_add_gui_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/ui/gui_test_main.cpp)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Widgets Qt6::Test GTest::gtest GTest::gmock
                        pellora_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE PELLORA_TEST_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
  gtest_discover_tests(${name}
    PROPERTIES LABELS gui ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    DISCOVERY_TIMEOUT 120
    DISCOVERY_MODE PRE_TEST)
endfunction()
