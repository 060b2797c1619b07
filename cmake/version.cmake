# Writes OUTPUT with the version macros of retriva: VERSION from the project
# and the git revision of SOURCE_DIR ("abc1234", "-dirty" when changed;
# empty outside a git checkout, as in a source tarball). A build from a copy
# of the tree (dist/build-deb.sh) names the revision in RETRIVA_REVISION.
set(REVISION "")
find_package(Git QUIET)
if(DEFINED ENV{RETRIVA_REVISION})
  set(REVISION "$ENV{RETRIVA_REVISION}")
elseif(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --always --dirty --abbrev=10
                  OUTPUT_VARIABLE REVISION OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(REVISION "")
  endif()
endif()
set(text "#pragma once\n#define RETRIVA_VERSION \"${VERSION}\"\n#define RETRIVA_REVISION \"${REVISION}\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUTPUT} "${text}")
endif()
