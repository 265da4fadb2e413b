# Turns the build options into generated sources: the build-constant header
# (device interface GUID, USB identity), the udev rule and the firmware
# record table.

set(TARNCAM_GENERATED_DIR "${PROJECT_BINARY_DIR}/generated")
file(MAKE_DIRECTORY "${TARNCAM_GENERATED_DIR}")

# --- Device interface GUID -------------------------------------------------
string(REGEX REPLACE "^{(.*)}$" "\\1" _guid "${TARNCAM_INTERFACE_GUID}")
if(NOT _guid MATCHES "^[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+$")
  set(_guid "")
endif()
string(REPLACE "-" "" _digits "${_guid}")
string(LENGTH "${_digits}" _len)
string(LENGTH "${_guid}" _glen)
if(NOT _len EQUAL 32 OR NOT _glen EQUAL 36)
  message(FATAL_ERROR
    "TARNCAM_INTERFACE_GUID '${TARNCAM_INTERFACE_GUID}' is not a GUID of the form "
    "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}")
endif()
string(SUBSTRING "${_digits}" 0 8 G_D1)
string(SUBSTRING "${_digits}" 8 4 G_D2)
string(SUBSTRING "${_digits}" 12 4 G_D3)
foreach(_i RANGE 0 7)
  math(EXPR _at "16 + 2 * ${_i}")
  string(SUBSTRING "${_digits}" ${_at} 2 G_B${_i})
endforeach()
# --- USB identity -------------------------------------------------------------
# "vvvv:pppp" in hex; sets <prefix>_VID and <prefix>_PID to four lower-case
# digits each (what the header and udev's ATTR{idVendor} compare).
function(tarncam_usb_id option prefix)
  if(NOT "${${option}}" MATCHES "^([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]):([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])$")
    message(FATAL_ERROR "${option} '${${option}}' is not a USB ID of the form vvvv:pppp (hex)")
  endif()
  string(TOLOWER "${CMAKE_MATCH_1}" _vid)
  string(TOLOWER "${CMAKE_MATCH_2}" _pid)
  set(${prefix}_VID "${_vid}" PARENT_SCOPE)
  set(${prefix}_PID "${_pid}" PARENT_SCOPE)
endfunction()
tarncam_usb_id(TARNCAM_USB_BLANK_ID USB_BLANK)
tarncam_usb_id(TARNCAM_USB_CAMERA_ID USB_CAMERA)

configure_file("${PROJECT_SOURCE_DIR}/cmake/build_config.h.in"
               "${TARNCAM_GENERATED_DIR}/tarncam_build_config.h" @ONLY)
# The udev rule that lets users reach a camera of this identity.
set(TARNCAM_UDEV_RULE "${TARNCAM_GENERATED_DIR}/60-tarncam.rules")
configure_file("${PROJECT_SOURCE_DIR}/platform/libusb/60-tarncam.rules.in" "${TARNCAM_UDEV_RULE}" @ONLY)

# --- Firmware image ----------------------------------------------------------
# tools/hex2fw turns TARNCAM_FIRMWARE_HEX into the record table at build time;
# a file it refuses stops the build with its "file:line: fault" message. The
# tool runs on the build machine, so a cross build makes it with the host
# compiler as an external project (which is not given the toolchain file).
get_filename_component(_firmware_hex "${TARNCAM_FIRMWARE_HEX}" ABSOLUTE)
if(NOT EXISTS "${_firmware_hex}" OR IS_DIRECTORY "${_firmware_hex}")
  message(FATAL_ERROR "TARNCAM_FIRMWARE_HEX: no such file '${TARNCAM_FIRMWARE_HEX}'")
endif()
if(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  set(_hex2fw_dir "${PROJECT_BINARY_DIR}/hex2fw-host")
  set(_hex2fw "${_hex2fw_dir}/hex2fw${CMAKE_HOST_EXECUTABLE_SUFFIX}")
  ExternalProject_Add(hex2fw_host
    SOURCE_DIR "${PROJECT_SOURCE_DIR}/tools/hex2fw"
    BINARY_DIR "${_hex2fw_dir}"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    BUILD_ALWAYS ON  # let the host build see edits to the tool's sources
    BUILD_BYPRODUCTS "${_hex2fw}"
    INSTALL_COMMAND "")
  set(_hex2fw_depends hex2fw_host "${_hex2fw}")
else()
  add_subdirectory("${PROJECT_SOURCE_DIR}/tools/hex2fw" "${PROJECT_BINARY_DIR}/tools/hex2fw")
  set(_hex2fw hex2fw)
  set(_hex2fw_depends hex2fw)
endif()
set(TARNCAM_FIRMWARE_IMAGE_SOURCE "${TARNCAM_GENERATED_DIR}/firmware_image.cpp")
add_custom_command(
  OUTPUT "${TARNCAM_FIRMWARE_IMAGE_SOURCE}"
  COMMAND ${_hex2fw} "${_firmware_hex}" "${TARNCAM_FIRMWARE_IMAGE_SOURCE}"
  DEPENDS "${_firmware_hex}" ${_hex2fw_depends}
  COMMENT "Converting firmware ${_firmware_hex}"
  VERBATIM)
