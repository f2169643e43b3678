# cmake -DCHANGELOG=<file> -DVERSION=<version> -P check-changelog.cmake
# A package whose changelog does not start with its own version tells the
# admin a wrong story about what was installed.
file(STRINGS "${CHANGELOG}" first LIMIT_COUNT 1)
string(REPLACE "." "\\." version_re "${VERSION}")
if(NOT first MATCHES "^veskor \\(${version_re}\\) ")
  message(FATAL_ERROR "${CHANGELOG}: the newest entry is '${first}', "
                      "but the version is ${VERSION}: add an entry for it")
endif()
