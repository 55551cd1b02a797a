# How the firmware image, the manifest and the version record are joined to
# the executable.
#
#   SCANFW_FIRMWARE_IMAGE (cache, FILEPATH)  the scanner's firmware image; its
#       bytes are embedded unchanged. Empty: a placeholder is generated.
#   SCANFW_IMAGE_FILE (cache, INTERNAL)      the image file actually embedded,
#       the given one or the placeholder; exists once the target
#       scanfw_firmware_image has been built.
#   SCANFW_IMAGE_IS_PLACEHOLDER (cache, INTERNAL)  ON when it is the placeholder.
#   SCANFW_FIRMWARE_RELEASE (cache, STRING)  four hex digits: the release
#       (bcdDevice) the scanner reports once it runs the carried image, for
#       --check; empty: unknown.
#   scanfw_firmware_image (target)          makes SCANFW_IMAGE_FILE.
#   scanfw_resources (Windows, OBJECT library)  the compiled resource script,
#       for any program that must carry the same resources.
#   scanfw_image_carrier (Linux, OBJECT library)  the image in a read-only
#       section; scanfw_attach_image(target) links it into that program.
#   scanfw_image_facts (OBJECT library)  CarriesPlaceholderImage(), linked
#       with the image wherever it goes.
#   SCANFW_VERSION  the version, for the version record and scanfw_version.h.

set(SCANFW_FIRMWARE_IMAGE "" CACHE FILEPATH
    "The scanner's firmware image to embed. Empty builds a placeholder that must never be sent to a scanner.")

set(SCANFW_FIRMWARE_RELEASE "" CACHE STRING
    "Four hex digits: the release (bcdDevice) a scanner reports once it runs the embedded image. Empty: unknown, and --check says so.")
if(NOT SCANFW_FIRMWARE_RELEASE STREQUAL "" AND
   NOT SCANFW_FIRMWARE_RELEASE MATCHES "^[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]$")
  message(FATAL_ERROR
          "SCANFW_FIRMWARE_RELEASE is '${SCANFW_FIRMWARE_RELEASE}': give the "
          "release as four hex digits, as the scanner's bcdDevice reads (0102).")
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(WIN32)
  enable_language(RC)
else()
  enable_language(ASM)
endif()

set(SCANFW_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR})
# The size of the scanner's real image; the placeholder has the same, so
# that transfers and timings look as they will with the real one.
set(SCANFW_PLACEHOLDER_IMAGE_SIZE 26214400)

# File names go into the resource script and the assembler source as quoted
# strings; a name that cannot be spelled there is refused rather than
# half-quoted.
function(_scanfw_check_quotable what path)
  if(path MATCHES "[\"\n\r;]")
    message(FATAL_ERROR
            "${what} '${path}' contains a double quote, semicolon or line "
            "break, which the resource compiler cannot be given. Move it to a "
            "plainer path.")
  endif()
endfunction()

if(NOT SCANFW_FIRMWARE_IMAGE STREQUAL "")
  get_filename_component(_scanfw_image "${SCANFW_FIRMWARE_IMAGE}" ABSOLUTE
                         BASE_DIR "${CMAKE_SOURCE_DIR}")
  if(NOT EXISTS "${_scanfw_image}")
    message(FATAL_ERROR
            "SCANFW_FIRMWARE_IMAGE names '${_scanfw_image}', which does not "
            "exist.")
  endif()
  if(IS_DIRECTORY "${_scanfw_image}")
    message(FATAL_ERROR
            "SCANFW_FIRMWARE_IMAGE names '${_scanfw_image}', which is a "
            "directory, not an image file.")
  endif()
  file(SIZE "${_scanfw_image}" _scanfw_image_size)
  if(_scanfw_image_size EQUAL 0)
    message(FATAL_ERROR
            "SCANFW_FIRMWARE_IMAGE names '${_scanfw_image}', which is empty "
            "(0 bytes). An empty image cannot be sent to the scanner; give "
            "the real firmware image file.")
  endif()
  # The program announces the length as an unsigned 32-bit number.
  if(_scanfw_image_size GREATER 4294967295)
    message(FATAL_ERROR
            "SCANFW_FIRMWARE_IMAGE names '${_scanfw_image}' of "
            "${_scanfw_image_size} bytes; an image must be smaller than "
            "4 GiB.")
  endif()
  _scanfw_check_quotable("SCANFW_FIRMWARE_IMAGE" "${_scanfw_image}")
  # A changed or emptied image file is checked again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${_scanfw_image}")
  add_custom_target(scanfw_firmware_image)
  set(_scanfw_placeholder OFF)
  message(STATUS
          "scanfw firmware image: ${_scanfw_image} (${_scanfw_image_size} bytes)")
else()
  set(_scanfw_image ${CMAKE_BINARY_DIR}/firmware/placeholder-image.bin)
  add_custom_command(
    OUTPUT ${_scanfw_image}
    COMMAND ${Python3_EXECUTABLE}
            ${SCANFW_RESOURCES_DIR}/make_placeholder_image.py
            --size ${SCANFW_PLACEHOLDER_IMAGE_SIZE} --output ${_scanfw_image}
    DEPENDS ${SCANFW_RESOURCES_DIR}/make_placeholder_image.py
    COMMENT "Generating the placeholder firmware image (not firmware)"
    VERBATIM)
  add_custom_target(scanfw_firmware_image DEPENDS ${_scanfw_image})
  set(_scanfw_placeholder ON)
  # Indented lines are printed as they stand, not re-wrapped.
  message(WARNING
          "\n"
          "  ################################################################\n"
          "  NO FIRMWARE IMAGE GIVEN: scanfw will carry a PLACEHOLDER image\n"
          "  (${SCANFW_PLACEHOLDER_IMAGE_SIZE} bytes of generated data, NOT firmware).\n"
          "  \n"
          "  NEVER RUN THIS EXECUTABLE ON A REAL SCANNER: it would send the\n"
          "  placeholder to the scanner and burn it into its flash memory.\n"
          "  \n"
          "  For a real build configure with\n"
          "    -DSCANFW_FIRMWARE_IMAGE=/path/to/firmware-image\n"
          "  ################################################################\n")
endif()
_scanfw_check_quotable("The build directory" "${CMAKE_BINARY_DIR}")
_scanfw_check_quotable("The source directory" "${SCANFW_RESOURCES_DIR}")

set(SCANFW_IMAGE_FILE ${_scanfw_image} CACHE INTERNAL
    "The firmware image file embedded in scanfw")
set(SCANFW_IMAGE_IS_PLACEHOLDER ${_scanfw_placeholder} CACHE INTERNAL
    "Whether SCANFW_IMAGE_FILE is the generated placeholder")

# The program's version, defined here once: it fills the version record of
# the resource script and the header from which `scanfw --version` prints
# it. The names are this product's own.
set(SCANFW_VERSION "0.3.53.0")
if(NOT SCANFW_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "SCANFW_VERSION '${SCANFW_VERSION}' is not four numbers "
                      "as the version record needs them")
endif()
string(REPLACE "." ", " SCANFW_VERSION_COMMAS "${SCANFW_VERSION}")
set(SCANFW_COMPANY "scanfw")
set(SCANFW_PRODUCT "Scanner Firmware Updater")
set(SCANFW_LEGAL "Copyright (C) the scanfw authors")

configure_file(${SCANFW_RESOURCES_DIR}/scanfw_version.h.in
               ${CMAKE_BINARY_DIR}/generated/scanfw_version.h @ONLY)
target_include_directories(scanfw_core PUBLIC ${CMAKE_BINARY_DIR}/generated)

# What the carrier knows about the image it holds, beside the image itself:
# whether it is the placeholder, and the release it makes the scanner report.
# Linked wherever the image goes, so the
# fake platform's tests, which carry no image, say it their own way.
if(_scanfw_placeholder)
  set(SCANFW_IMAGE_IS_PLACEHOLDER_CPP true)
else()
  set(SCANFW_IMAGE_IS_PLACEHOLDER_CPP false)
endif()
if(SCANFW_FIRMWARE_RELEASE STREQUAL "")
  set(SCANFW_FIRMWARE_RELEASE_CPP -1)
else()
  string(TOUPPER "${SCANFW_FIRMWARE_RELEASE}" _scanfw_release)
  set(SCANFW_FIRMWARE_RELEASE_CPP 0x${_scanfw_release})
endif()
configure_file(${SCANFW_RESOURCES_DIR}/image_facts.cpp.in
               ${CMAKE_BINARY_DIR}/resources/image_facts.cpp @ONLY)
add_library(scanfw_image_facts OBJECT
            ${CMAKE_BINARY_DIR}/resources/image_facts.cpp)
target_include_directories(scanfw_image_facts PRIVATE ${PROJECT_SOURCE_DIR})
# A test build knows no release; the Windows runs that compare releases need
# one that does: the same facts, told 0102, for a second executable.
if(SCANFW_FIRMWARE_RELEASE STREQUAL "")
  set(SCANFW_FIRMWARE_RELEASE_CPP 0x0102)
  configure_file(${SCANFW_RESOURCES_DIR}/image_facts.cpp.in
                 ${CMAKE_BINARY_DIR}/resources/image_facts_r0102.cpp @ONLY)
  add_library(scanfw_image_facts_r0102 OBJECT
              ${CMAKE_BINARY_DIR}/resources/image_facts_r0102.cpp)
  target_include_directories(scanfw_image_facts_r0102 PRIVATE ${PROJECT_SOURCE_DIR})
  set(SCANFW_FIRMWARE_RELEASE_CPP -1)
endif()

# Joins the image, and on Windows the manifest and version record, to
# `target`: on Linux the carrier object that the platform layer's resource
# calls hand out, linked into this executable alone. The facts about the
# image are scanfw_image_facts unless a second argument names others.
function(scanfw_attach_image target)
  set(_facts scanfw_image_facts)
  if(ARGC GREATER 1)
    set(_facts ${ARGV1})
  endif()
  string(REPLACE "\\" "\\\\" _quoted_image "${SCANFW_IMAGE_FILE}")
  if(WIN32)
    set(SCANFW_RC_IMAGE ${_quoted_image})
    string(REPLACE "\\" "\\\\" SCANFW_RC_MANIFEST
           "${SCANFW_RESOURCES_DIR}/scanfw.manifest")
    set(_rc ${CMAKE_BINARY_DIR}/resources/scanfw.rc)
    configure_file(${SCANFW_RESOURCES_DIR}/scanfw.rc.in ${_rc} @ONLY)
    if(NOT TARGET scanfw_resources)
      add_library(scanfw_resources OBJECT ${_rc})
      set_property(SOURCE ${_rc} APPEND PROPERTY OBJECT_DEPENDS
                   ${SCANFW_IMAGE_FILE}
                   ${SCANFW_RESOURCES_DIR}/scanfw.manifest)
      add_dependencies(scanfw_resources scanfw_firmware_image)
    endif()
    target_link_libraries(${target} PRIVATE scanfw_resources
                          $<TARGET_OBJECTS:${_facts}>)
    # The static runtime libraries bring their own debug sections and
    # symbols, several times our code's size; the shipped executable
    # leaves them out.
    target_link_options(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
  else()
    set(SCANFW_ASM_IMAGE ${_quoted_image})
    set(_carrier ${CMAKE_BINARY_DIR}/platform/linux/firmware_carrier.S)
    configure_file(${SCANFW_RESOURCES_DIR}/../platform/linux/firmware_carrier.S.in
                   ${_carrier} @ONLY)
    if(NOT TARGET scanfw_image_carrier)
      add_library(scanfw_image_carrier OBJECT ${_carrier})
      # .incbin is invisible to dependency scanning.
      set_property(SOURCE ${_carrier} APPEND PROPERTY OBJECT_DEPENDS
                   ${SCANFW_IMAGE_FILE})
      add_dependencies(scanfw_image_carrier scanfw_firmware_image)
    endif()
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:scanfw_image_carrier>
                   $<TARGET_OBJECTS:${_facts}>)
    add_dependencies(${target} scanfw_image_carrier)
  endif()
endfunction()
