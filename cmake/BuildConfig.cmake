# Turns the build options into generated sources: the build-constant header
# (device interface GUID) and the firmware record table.

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
configure_file("${PROJECT_SOURCE_DIR}/interface/build_config.h.in"
               "${TARNCAM_GENERATED_DIR}/tarncam_build_config.h" @ONLY)

# --- Firmware image ----------------------------------------------------------
# Until the converter lands, the table is a fixed placeholder.
set(TARNCAM_FIRMWARE_IMAGE_SOURCE "${PROJECT_SOURCE_DIR}/usb/firmware_image_placeholder.cpp")
