# Resources made at build time from sources in this folder, laid into the build tree's
# share/sonvale/ like an installation, and the install rules for the desktop integration.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(sonvale_icon_sizes 16 22 24 32 48 64 128 256 512 1024)
set(sonvale_hicolor_sizes 16 22 24 32 48 64 128 256 512)
set(sonvale_icns_sizes 16 32 64 128 256 512 1024)
set(sonvale_png_dir "${CMAKE_CURRENT_BINARY_DIR}/icons")

add_executable(sonvale_svg_to_png "${CMAKE_CURRENT_SOURCE_DIR}/icons/svg_to_png.cpp")
target_link_libraries(sonvale_svg_to_png PRIVATE Qt6::Gui Qt6::Svg sonvale_warnings)
# A build-time helper, not shipped: built without the sanitizers, whose reports about Qt's own
# uninstrumented image threads would only stop the build.
set_target_properties(sonvale_svg_to_png PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
                      COMPILE_OPTIONS "" LINK_OPTIONS "")

set(sonvale_icon_pngs "")
foreach(size ${sonvale_icon_sizes})
  list(APPEND sonvale_icon_pngs "${sonvale_png_dir}/${size}.png")
endforeach()
add_custom_command(
  OUTPUT ${sonvale_icon_pngs}
  COMMAND $<TARGET_FILE:sonvale_svg_to_png> "${CMAKE_CURRENT_SOURCE_DIR}/icons/sonvale.svg" "${sonvale_png_dir}"
          ${sonvale_icon_sizes}
  DEPENDS sonvale_svg_to_png "${CMAKE_CURRENT_SOURCE_DIR}/icons/sonvale.svg"
  COMMENT "Rendering the application icon"
  VERBATIM)

set(sonvale_icns_pngs "")
foreach(size ${sonvale_icns_sizes})
  list(APPEND sonvale_icns_pngs "${sonvale_png_dir}/${size}.png")
endforeach()
add_custom_command(
  OUTPUT "${SONVALE_RESOURCE_BUILD_DIR}/AppIcon.icns"
  COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/scripts/gen-icns.py" "${SONVALE_RESOURCE_BUILD_DIR}/AppIcon.icns"
          ${sonvale_icns_pngs}
  DEPENDS ${sonvale_icns_pngs} "${PROJECT_SOURCE_DIR}/scripts/gen-icns.py"
  COMMENT "Packing AppIcon.icns"
  VERBATIM)

add_custom_command(
  OUTPUT "${SONVALE_RESOURCE_BUILD_DIR}/system-test.wav"
  COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/scripts/gen-test-sound.py" "${SONVALE_RESOURCE_BUILD_DIR}/system-test.wav"
  DEPENDS "${PROJECT_SOURCE_DIR}/scripts/gen-test-sound.py"
  COMMENT "Generating system-test.wav"
  VERBATIM)

add_custom_target(sonvale_resources ALL
  DEPENDS "${SONVALE_RESOURCE_BUILD_DIR}/AppIcon.icns" "${SONVALE_RESOURCE_BUILD_DIR}/system-test.wav")

install(FILES "${SONVALE_RESOURCE_BUILD_DIR}/AppIcon.icns" "${SONVALE_RESOURCE_BUILD_DIR}/system-test.wav"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/sonvale)
install(FILES local.sonvale.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size ${sonvale_hicolor_sizes})
  install(FILES "${sonvale_png_dir}/${size}.png"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME local.sonvale.png)
endforeach()
install(FILES icons/sonvale.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME local.sonvale.svg)
