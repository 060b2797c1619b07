# Unpacks the committed test volumes (tests/images/*.zst) and the original
# bytes of their deleted files into the build tree. Run by the build; skips
# files that are already up to date.
find_program(ZSTD zstd REQUIRED)
file(GLOB_RECURSE packed RELATIVE ${SRC} ${SRC}/*.zst)
foreach(rel ${packed})
  string(REGEX REPLACE "\\.zst$" "" out_rel ${rel})
  set(out ${DST}/${out_rel})
  if(NOT EXISTS ${out} OR ${SRC}/${rel} IS_NEWER_THAN ${out})
    get_filename_component(dir ${out} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND ${ZSTD} -q -d -f ${SRC}/${rel} -o ${out} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "cannot unpack ${rel}")
    endif()
  endif()
endforeach()
# The manifests the tests read beside the volumes.
file(GLOB manifests ${SRC}/*manifest.json)
foreach(m ${manifests})
  get_filename_component(name ${m} NAME)
  configure_file(${m} ${DST}/${name} COPYONLY)
endforeach()
