# The window program for Windows: PgRes.dll (every text, menu, dialog and
# picture), quorvex.exe, the help file quorvex.chm, and the folder users
# download, retriva-VERSION-windows-x64.zip with its SHA256SUMS. Included by the top-level list for
# Windows builds.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_program(CHMCMD chmcmd REQUIRED)
find_program(MINGW_STRIP NAMES x86_64-w64-mingw32-strip ${CMAKE_STRIP} REQUIRED)

set(RES_SOURCE ${CMAKE_SOURCE_DIR}/res)

# Both programs' version resources carry the project's version, the one
# retriva --version prints.
foreach(part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    set(version_${part} 0)
  else()
    set(version_${part} ${PROJECT_VERSION_${part}})
  endif()
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/version_resource.h CONTENT
  "#define RV_VERSION_NUMBERS ${version_MAJOR}, ${version_MINOR}, ${version_PATCH}, ${version_TWEAK}\n#define RV_VERSION_TEXT \"${PROJECT_VERSION}\"\n")
set_source_files_properties(${RES_SOURCE}/retriva.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/generated/version_resource.h)
target_sources(retriva PRIVATE ${RES_SOURCE}/retriva.rc)
set(ART_DIR ${CMAKE_BINARY_DIR}/res-art)
set(ART_FILES
  ${ART_DIR}/quorvex.ico ${ART_DIR}/splitter.cur ${ART_DIR}/tree-computer.bmp ${ART_DIR}/tree-volume.bmp
  ${ART_DIR}/tree-folder.bmp ${ART_DIR}/tree-folder-open.bmp ${ART_DIR}/tree-folder-deleted.bmp
  ${ART_DIR}/tree-file.bmp ${ART_DIR}/tree-watermark.bmp
  ${ART_DIR}/condition-unknown.bmp ${ART_DIR}/condition-whole.bmp ${ART_DIR}/condition-partly.bmp
  ${ART_DIR}/condition-overwritten.bmp ${ART_DIR}/condition-guessed.bmp ${ART_DIR}/condition-zeroed.bmp
  ${ART_DIR}/condition-truncated.bmp)
add_custom_command(OUTPUT ${ART_FILES}
  COMMAND ${Python3_EXECUTABLE} ${RES_SOURCE}/make-art.py ${ART_DIR}
  DEPENDS ${RES_SOURCE}/make-art.py
  COMMENT "Drawing the window program's icon, tree images and cursor")
add_custom_target(shell_art DEPENDS ${ART_FILES})

set_source_files_properties(${RES_SOURCE}/pgres.rc PROPERTIES
  OBJECT_DEPENDS "${ART_FILES};${RES_SOURCE}/resource.h")
set_source_files_properties(${RES_SOURCE}/quorvex.rc PROPERTIES
  OBJECT_DEPENDS "${ART_FILES};${RES_SOURCE}/resource.h;${RES_SOURCE}/quorvex.manifest;${CMAKE_BINARY_DIR}/generated/version_resource.h")

# PgRes.dll: resources and an entry point, nothing imported.
add_library(PgRes SHARED ${RES_SOURCE}/pgres.rc ${RES_SOURCE}/pgres_entry.c)
set_target_properties(PgRes PROPERTIES PREFIX "" OUTPUT_NAME PgRes)
target_include_directories(PgRes PRIVATE ${RES_SOURCE} ${ART_DIR})
target_link_options(PgRes PRIVATE -nostdlib -Wl,--entry,PgResEntry)
add_dependencies(PgRes shell_art)

# quorvex.exe, and a test build of it (testseam/quorvex.exe) that honours
# the test switch of shell/seam.cpp; both from the same objects.
file(GLOB SHELL_WINDOW_SOURCES CONFIGURE_DEPENDS src/shell/*.cpp src/shell/two_pane/*.cpp)
list(REMOVE_ITEM SHELL_WINDOW_SOURCES ${CMAKE_SOURCE_DIR}/src/shell/seam.cpp
     ${CMAKE_SOURCE_DIR}/src/shell/logic.cpp ${CMAKE_SOURCE_DIR}/src/shell/settings.cpp
     ${CMAKE_SOURCE_DIR}/src/shell/registry.cpp ${CMAKE_SOURCE_DIR}/src/shell/results.cpp
     ${CMAKE_SOURCE_DIR}/src/shell/command_states.cpp
     ${CMAKE_SOURCE_DIR}/src/shell/two_pane/criteria.cpp ${CMAKE_SOURCE_DIR}/src/shell/preview_state.cpp)
add_library(quorvex_objects OBJECT ${SHELL_WINDOW_SOURCES})
target_link_libraries(quorvex_objects PUBLIC retriva_shell retriva_core)
target_include_directories(quorvex_objects PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)

function(add_quorvex target)
  add_executable(${target} WIN32 $<TARGET_OBJECTS:quorvex_objects> src/shell/seam.cpp ${RES_SOURCE}/quorvex.rc)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME quorvex)
  target_include_directories(${target} PRIVATE ${RES_SOURCE} ${ART_DIR} ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(${target} PRIVATE retriva_shell retriva_core comctl32 advapi32 user32 gdi32 shell32 ole32 gdiplus)
  target_link_options(${target} PRIVATE -municode -mwindows)
  add_dependencies(${target} shell_art)
endfunction()
add_quorvex(quorvex)
add_quorvex(quorvex_testseam)
target_compile_definitions(quorvex_testseam PRIVATE RETRIVA_TEST_SEAMS)
set_target_properties(quorvex_testseam PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/testseam)

# The help file, compiled from our own pages.
set(HELP_FILES quorvex.hhp toc.hhc index.hhk style.css Quorvex_standalone.htm Searching.htm Recovering.htm
    Another_Volume.htm Use_Alternate_Location.htm Using_the_Retriva_From_Disk_Interface.htm Questions.htm)
list(TRANSFORM HELP_FILES PREPEND ${RES_SOURCE}/help/ OUTPUT_VARIABLE HELP_SOURCES)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/quorvex.chm
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/help-build
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${RES_SOURCE}/help ${CMAKE_BINARY_DIR}/help-build
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/help-build ${CHMCMD} quorvex.hhp
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/help-build/quorvex.chm ${CMAKE_BINARY_DIR}/quorvex.chm
  DEPENDS ${HELP_SOURCES}
  COMMENT "Compiling the help file quorvex.chm")
add_custom_target(quorvex_help ALL DEPENDS ${CMAKE_BINARY_DIR}/quorvex.chm)

# The test build finds its library and help file beside it.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/testseam/PgRes.dll
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:PgRes> ${CMAKE_BINARY_DIR}/testseam/PgRes.dll
  DEPENDS PgRes)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/testseam/quorvex.chm
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/quorvex.chm ${CMAKE_BINARY_DIR}/testseam/quorvex.chm
  DEPENDS ${CMAKE_BINARY_DIR}/quorvex.chm)
add_custom_target(quorvex_testseam_library ALL
  DEPENDS ${CMAKE_BINARY_DIR}/testseam/PgRes.dll ${CMAKE_BINARY_DIR}/testseam/quorvex.chm)

# The download: the release programs without their debug information, and
# README.txt; SHA256SUMS beside it. The container libraries linked into the
# programs are LGPL-3+: licences/ holds their notice (which libraries, and
# the offer of what relinking needs) and the licence texts.
set(ZIP_NAME retriva-${PROJECT_VERSION}-windows-x64.zip)
set(ZIP_STAGE ${CMAKE_BINARY_DIR}/retriva-windows-x64)
set(WINDOWS_ZIP ${CMAKE_BINARY_DIR}/${ZIP_NAME})
set(ZIP_LICENCES)
set(ZIP_LICENCE_COMMANDS)
if(MINGW_LIBYAL_LINKED)
  set(libraries_list ${CMAKE_BINARY_DIR}/libyal-linked.txt)
  list(JOIN MINGW_LIBYAL_LINKED "\n  " lines)
  file(WRITE ${libraries_list}.new "  ${lines}\n")
  file(COPY_FILE ${libraries_list}.new ${libraries_list} ONLY_IF_DIFFERENT)
  set(ZIP_LICENCES licences/LIBRARIES.txt licences/LGPL-3.txt licences/GPL-3.txt)
  set(ZIP_LICENCE_COMMANDS
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZIP_STAGE}/licences
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR}/dist/windows-LIBRARIES.txt
            -DOUTPUT=${ZIP_STAGE}/licences/LIBRARIES.txt -DVERSION=${PROJECT_VERSION}
            -DLIBRARIES_FILE=${libraries_list} -P ${CMAKE_SOURCE_DIR}/cmake/windows-readme.cmake
    COMMAND ${CMAKE_COMMAND} -DSOURCE=/usr/share/common-licenses/LGPL-3 -DOUTPUT=${ZIP_STAGE}/licences/LGPL-3.txt
            -P ${CMAKE_SOURCE_DIR}/cmake/windows-readme.cmake
    COMMAND ${CMAKE_COMMAND} -DSOURCE=/usr/share/common-licenses/GPL-3 -DOUTPUT=${ZIP_STAGE}/licences/GPL-3.txt
            -P ${CMAKE_SOURCE_DIR}/cmake/windows-readme.cmake)
endif()
add_custom_command(OUTPUT ${WINDOWS_ZIP} ${CMAKE_BINARY_DIR}/SHA256SUMS
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${ZIP_STAGE} ${WINDOWS_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZIP_STAGE}
  COMMAND ${MINGW_STRIP} --strip-all -o ${ZIP_STAGE}/quorvex.exe $<TARGET_FILE:quorvex>
  COMMAND ${MINGW_STRIP} --strip-all -o ${ZIP_STAGE}/PgRes.dll $<TARGET_FILE:PgRes>
  COMMAND ${MINGW_STRIP} --strip-all -o ${ZIP_STAGE}/retriva.exe $<TARGET_FILE:retriva>
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/quorvex.chm ${ZIP_STAGE}/quorvex.chm
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR}/dist/windows-README.txt -DOUTPUT=${ZIP_STAGE}/README.txt
          -DVERSION=${PROJECT_VERSION} -P ${CMAKE_SOURCE_DIR}/cmake/windows-readme.cmake
  ${ZIP_LICENCE_COMMANDS}
  COMMAND ${CMAKE_COMMAND} -E chdir ${ZIP_STAGE} ${CMAKE_COMMAND} -E tar cf ${WINDOWS_ZIP} --format=zip
          README.txt quorvex.exe PgRes.dll quorvex.chm retriva.exe ${ZIP_LICENCES}
  COMMAND ${CMAKE_COMMAND} -DDIR=${CMAKE_BINARY_DIR} -DFILES=${ZIP_NAME} -P ${CMAKE_SOURCE_DIR}/cmake/sha256sums.cmake
  DEPENDS quorvex PgRes retriva ${CMAKE_BINARY_DIR}/quorvex.chm ${CMAKE_SOURCE_DIR}/dist/windows-README.txt
          ${CMAKE_SOURCE_DIR}/dist/windows-LIBRARIES.txt ${CMAKE_SOURCE_DIR}/cmake/windows-readme.cmake
  COMMENT "Packing ${ZIP_NAME}")
add_custom_target(windows_zip ALL DEPENDS ${WINDOWS_ZIP})
