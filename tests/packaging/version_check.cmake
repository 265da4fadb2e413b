# Runs as `cmake -P`: debian/changelog's newest entry packages the project
# version that CMakeLists.txt declares (the packages' one source of truth is
# project(); a release bumps both, and this test notices when one is missed).
file(STRINGS ${CHANGELOG} first LIMIT_COUNT 1)
if(NOT first MATCHES "^tarncam \\(([0-9.]+)(-[^)]+)?\\) ")
  message(FATAL_ERROR "debian/changelog's first line is not 'tarncam (VERSION[-REVISION]) ...': ${first}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "debian/changelog packages ${CMAKE_MATCH_1}, CMakeLists.txt declares ${VERSION}")
endif()
