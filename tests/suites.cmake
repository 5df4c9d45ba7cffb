# Writes OUT, the CTest tests of one test binary: one per GoogleTest suite,
# running BINARY --gtest_filter=SUITE.* in DIR, labelled LABEL, costed COST.
# The build runs it after each link when R3K_TEST_BY_SUITE is on.
execute_process(COMMAND ${BINARY} --gtest_list_tests OUTPUT_VARIABLE listing RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${BINARY}: --gtest_list_tests failed: ${rc}")
endif()
# A suite's line starts in the first column and ends with '.', before any
# comment; its tests' lines are indented.
string(REGEX MATCHALL "\n[^ \n][^\n]*" heads "\n${listing}")
set(script "")
foreach(head IN LISTS heads)
  if(head MATCHES "^\n([^ ]+)\\.( .*)?$")
    set(suite ${CMAKE_MATCH_1})
    string(APPEND script "add_test([==[${suite}]==] [==[${BINARY}]==] [==[--gtest_filter=${suite}.*]==])\n"
           "set_tests_properties([==[${suite}]==] PROPERTIES LABELS [==[${LABEL}]==] COST ${COST}"
           " WORKING_DIRECTORY [==[${DIR}]==])\n")
  endif()
endforeach()
if(script STREQUAL "")
  message(FATAL_ERROR "${BINARY}: --gtest_list_tests listed no suite")
endif()
file(WRITE ${OUT} "${script}")
