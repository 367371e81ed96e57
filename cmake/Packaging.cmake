# The Debian package and the files scripts/package needs for an update archive.
#
# Installed (cmake --install, or the package): the bundle in /opt/murmex with a bundle.json that
# says the package manager keeps it current, its menu entry in /usr/share/applications and its icon
# in the hicolor theme. Component "bundle" is the bundle alone; scripts/package installs it into a
# staging folder (DESTDIR) to make the update archive, whose bundle.json has no "managedBy".

set(MURMEX_INSTALL_DIR /opt/murmex)
set(packaging_dir ${CMAKE_BINARY_DIR}/packaging)

# The two variants of the build tree's bundle.json.
file(READ ${MURMEX_BUNDLE_DIR}/bundle.json build_tree_bundle)
string(JSON package_bundle SET "${build_tree_bundle}" managedBy "\"package-manager\"")
string(JSON update_bundle REMOVE "${build_tree_bundle}" managedBy)
file(CONFIGURE OUTPUT ${packaging_dir}/package/bundle.json CONTENT "${package_bundle}\n")
file(CONFIGURE OUTPUT ${packaging_dir}/update/bundle.json CONTENT "${update_bundle}\n")

set(MURMEX_EXEC ${MURMEX_INSTALL_DIR}/bin/murmex)
configure_file(${PROJECT_SOURCE_DIR}/share/applications/murmex.desktop.in ${packaging_dir}/package/murmex.desktop @ONLY)

# What an update archive is named and fetched from, for scripts/package.
file(CONFIGURE OUTPUT ${packaging_dir}/update-archive.env CONTENT
"version=${PROJECT_VERSION}
platform_tag=${MURMEX_UPDATE_PLATFORM_TAG}
update_host=${MURMEX_UPDATE_HOST}
update_port=${MURMEX_UPDATE_PORT}
")

# The programs of the bundle, which the packaging builds (installing never builds everything).
set(bundle_programs murmex chimelet)
if(TARGET murmex-exchange)
    list(APPEND bundle_programs murmex-exchange)
endif()
add_custom_target(murmex_bundle DEPENDS ${bundle_programs})
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(FILES ${packaging_dir}/package/bundle.json DESTINATION ${MURMEX_INSTALL_DIR} COMPONENT bundle)
install(TARGETS murmex DESTINATION ${MURMEX_INSTALL_DIR}/bin COMPONENT bundle)
install(TARGETS chimelet DESTINATION ${MURMEX_INSTALL_DIR}/libexec COMPONENT bundle)
if(TARGET murmex-exchange)
    install(TARGETS murmex-exchange DESTINATION ${MURMEX_INSTALL_DIR}/libexec COMPONENT bundle)
endif()
# The resources as the build tree's bundle holds them; the speech engine and its models are the
# user's to add (scripts/install-whisper), never packaged.
install(DIRECTORY ${MURMEX_BUNDLE_DIR}/share/murmex DESTINATION ${MURMEX_INSTALL_DIR}/share COMPONENT bundle
        PATTERN Whisper EXCLUDE)
install(FILES ${packaging_dir}/package/murmex.desktop DESTINATION /usr/share/applications COMPONENT desktop)
install(FILES ${PROJECT_SOURCE_DIR}/share/murmex/Murmex.svg DESTINATION /usr/share/icons/hicolor/scalable/apps
        RENAME murmex.svg COMPONENT desktop)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME murmex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tarvo)
set(CPACK_PACKAGE_CONTACT Tarvo)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Dictado por voz en la bandeja del sistema")
set(CPACK_PACKAGE_DESCRIPTION
    "Murmex graba el micrófono con un atajo de teclado, transcribe la voz en el propio equipo y escribe el texto en la aplicación que tiene el foco.")
set(CPACK_COMPONENTS_ALL bundle desktop)
# Absolute destinations: installed under DESTDIR into the package, never into this machine; no
# prefix of its own.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER Tarvo)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries the programs link, found by dpkg-shlibdeps (their packages hold Qt's X11 platform
# plugin and its SVG plugins), and what Murmex needs besides: a font for its windows and curl,
# which posts recordings to the speech engine. Only run-time packages: never a -dev one.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core, curl")
include(CPack)
