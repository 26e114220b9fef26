# Writes OUTPUT: the source tree's `git describe` at build time, so `vorn --version` names the
# commit it was built from. The file is rewritten only when the description changes.
execute_process(
  COMMAND git describe --always --dirty --tags
  WORKING_DIRECTORY ${SOURCE_DIR}
  OUTPUT_VARIABLE description
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR description STREQUAL "")
  set(description "unknown")
endif()
set(text "#pragma once\n// Generated at build time.\nnamespace vorn::build {\ninline constexpr const char* kGitDescription = \"${description}\";\n}\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} previous)
endif()
if(NOT "${previous}" STREQUAL "${text}")
  file(WRITE ${OUTPUT} "${text}")
endif()
