# Writes DIR/SHA256SUMS for FILES (names inside DIR), in the form
# `sha256sum -c SHA256SUMS` checks.
set(text "")
foreach(name ${FILES})
  file(SHA256 ${DIR}/${name} hash)
  string(APPEND text "${hash}  ${name}\n")
endforeach()
file(WRITE ${DIR}/SHA256SUMS "${text}")
