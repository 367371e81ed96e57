# add_murmex_test(<name> SOURCES <files…> [LIBRARIES <targets…>] [LABELS <labels…>] [DESKTOP])
#
# One QtTest executable, registered with ctest. DESKTOP runs it inside the private headless desktop
# of tests/harness (X server, window manager, tray host, session bus); every other test runs on
# Qt's offscreen platform. Each test gets its own HOME and XDG folders so that nothing touches the
# user's data or settings.
function(add_murmex_test name)
    cmake_parse_arguments(ARG "DESKTOP" "" "SOURCES;LIBRARIES;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test murmex_test_fakes ${ARG_LIBRARIES})
    set(sandbox ${CMAKE_BINARY_DIR}/test-home/${name})
    if(ARG_DESKTOP)
        add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/tests/harness/with-desktop $<TARGET_FILE:${name}>)
        set(environment "MURMEX_SCREENSHOT_TOOL=$<TARGET_FILE:murmex-screenshot>" "MURMEX_BUNDLE_DIR=${MURMEX_BUNDLE_DIR}")
    else()
        add_test(NAME ${name} COMMAND $<TARGET_FILE:${name}>)
        set(environment
            QT_QPA_PLATFORM=offscreen
            HOME=${sandbox}/home
            XDG_DATA_HOME=${sandbox}/data
            XDG_CONFIG_HOME=${sandbox}/config
            XDG_CACHE_HOME=${sandbox}/cache
            # No session bus: Qt must not start one of its own.
            DBUS_SESSION_BUS_ADDRESS=disabled:)
        file(MAKE_DIRECTORY ${sandbox}/home ${sandbox}/data ${sandbox}/config ${sandbox}/cache)
    endif()
    # Qt without its GLib event dispatcher, as Murmex runs it: the accessibility tree's thread owns
    # GLib's default main context (AtspiAccessibilityTree).
    list(APPEND environment QT_NO_GLIB=1)
    if(MURMEX_SANITIZE MATCHES "thread")
        # Reports from the uninstrumented libraries only; QProcess forks while threads run.
        list(APPEND environment "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp die_after_fork=0 second_deadlock_stack=1")
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}" LABELS "${ARG_LABELS}" TIMEOUT 300)
endfunction()
