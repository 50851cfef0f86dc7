# Built-in IC-type definitions, the USB identity allow-list and the default firmware images.
# Included by resources/CMakeLists.txt, which embeds every resource added here.

# IC-type definitions (ICINI), by resource number.
drover_add_resource(ICINI 2030 ${CMAKE_CURRENT_SOURCE_DIR}/ic_types/VQ7310.INI)
drover_add_resource(ICINI 2031 ${CMAKE_CURRENT_SOURCE_DIR}/ic_types/VQ7330.INI)
drover_add_resource(ICINI 2032 ${CMAKE_CURRENT_SOURCE_DIR}/ic_types/VQ7332.INI)
drover_add_resource(ICINI 2033 ${CMAKE_CURRENT_SOURCE_DIR}/ic_types/VQ7340.INI)
drover_add_resource(ICINI 2034 ${CMAKE_CURRENT_SOURCE_DIR}/ic_types/VQ7322.INI)
drover_add_resource(ICINI 2035 ${CMAKE_CURRENT_SOURCE_DIR}/ic_types/VQ7370.INI)
# The built-in USB identity allow-list (CR LF lines).
drover_add_resource(ICINI 3034 ${CMAKE_CURRENT_SOURCE_DIR}/VidPidList.ini)

# Default firmware images (BINARY): generated at build time from the manifest by a host tool,
# written as build/firmware/NAME.rfw and embedded under their resource numbers.
set(DROVER_FIRMWARE_MANIFEST ${CMAKE_CURRENT_SOURCE_DIR}/firmware/manifest.txt)
set(DROVER_FIRMWARE_OUTPUT_DIR ${CMAKE_BINARY_DIR}/firmware)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${DROVER_FIRMWARE_MANIFEST})

add_executable(drover_firmware_gen ${CMAKE_CURRENT_SOURCE_DIR}/tools/firmware_gen.cpp)
set_target_properties(drover_firmware_gen PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)

file(STRINGS ${DROVER_FIRMWARE_MANIFEST} _drover_fw_lines REGEX "^FFU_")
set(_drover_fw_outputs "")
foreach(_line IN LISTS _drover_fw_lines)
  if(NOT _line MATCHES "^(FFU_[A-Z0-9_]+)[ \t]*\\|[ \t]*([0-9]+)[ \t]*\\|")
    message(FATAL_ERROR "firmware manifest: cannot read the line \"${_line}\"")
  endif()
  set(_file ${DROVER_FIRMWARE_OUTPUT_DIR}/${CMAKE_MATCH_1}.rfw)
  list(APPEND _drover_fw_outputs ${_file})
  drover_add_resource(BINARY ${CMAKE_MATCH_2} ${_file})
endforeach()

add_custom_command(
  OUTPUT ${_drover_fw_outputs}
  COMMAND drover_firmware_gen ${DROVER_FIRMWARE_MANIFEST} ${DROVER_FIRMWARE_OUTPUT_DIR}
  DEPENDS drover_firmware_gen ${DROVER_FIRMWARE_MANIFEST}
  COMMENT "Generating the built-in firmware images"
  VERBATIM)
add_custom_target(drover_firmware ALL DEPENDS ${_drover_fw_outputs})
set_property(GLOBAL APPEND PROPERTY DROVER_RESOURCE_TARGETS drover_firmware)
# The generated image files, for install rules and tools elsewhere in the project.
set_property(GLOBAL PROPERTY DROVER_FIRMWARE_FILES ${_drover_fw_outputs})
