# Byte-identical builds: the same sources, image and tool chain give the
# same files whatever folder they are built in and whenever.
#
# - Source and build paths that would land in debug information, __FILE__
#   or assembler output are written as "." and "build" instead.
# - Static archives carry no time stamps, owners or modes (ar D).
# - The Windows linker writes no link time into the PE header; the header's
#   check sum is computed over the file, so it follows.
# (For the compilers only: windres takes no such option.)
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX,ASM>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX,ASM>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")

foreach(_lang C CXX ASM)
  set(CMAKE_${_lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
