# A text file of the zip: SOURCE with @VERSION@ filled in (and @LIBRARIES@
# with the lines of LIBRARIES_FILE, when given) and Windows line ends, so
# Notepad shows it right everywhere.
file(READ ${SOURCE} text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
if(DEFINED LIBRARIES_FILE)
  file(READ ${LIBRARIES_FILE} libraries)
  string(REPLACE "@LIBRARIES@" "${libraries}" text "${text}")
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
