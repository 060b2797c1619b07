# The zip's README.txt: dist/windows-README.txt with @VERSION@ filled in and
# Windows line ends, so Notepad shows it right everywhere.
file(READ ${SOURCE} text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
