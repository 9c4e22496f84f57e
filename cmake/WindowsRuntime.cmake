# The Windows build. Its programs and tests land in bin/ beside the libraries
# they load, with Qt's platform plugins in bin/platforms/, as they are laid
# out in the package: they run from the build folder as from an installation.
# When cross-compiling, ctest runs them through Wine.

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# MinGW's runtime libraries that Qt and the programs load: the C++ library and
# GCC's unwinder of the posix-threads compiler, and MinGW-w64's pthreads. The
# compiler knows where they are.
set(UPDATER_MINGW_RUNTIME)
foreach(library libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  # A library it does not find comes back as the bare name.
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not find ${library}")
  endif()
  file(REAL_PATH "${path}" path)
  list(APPEND UPDATER_MINGW_RUNTIME ${path})
endforeach()

# The Qt libraries the programs load, and the platform plugins: windows to
# show the window, offscreen for the tests and for a run without a desktop.
set(UPDATER_QT_LIBRARIES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>)
set(UPDATER_QT_PLATFORMS $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> $<TARGET_FILE:Qt6::QOffscreenIntegrationPlugin>)
set(platforms_folder ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/platforms)
add_custom_target(windows_runtime ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${platforms_folder}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${UPDATER_QT_LIBRARIES} ${UPDATER_MINGW_RUNTIME}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${UPDATER_QT_PLATFORMS} ${platforms_folder}
  COMMENT "Copying Qt's and MinGW's libraries into ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
  VERBATIM)

if(CMAKE_CROSSCOMPILING)
  find_program(UPDATER_WINE wine)
  if(UPDATER_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${UPDATER_WINE})
  else()
    message(WARNING "No wine: the tests build but ctest cannot run them (scripts/install-deps.sh windows)")
  endif()
endif()

# The package's folder: both programs, Qt's and MinGW's libraries, the
# platform plugins.
function(updater_install_windows_package)
  install(TARGETS orvenda-updater orvenda-update RUNTIME DESTINATION .)
  install(FILES ${UPDATER_QT_LIBRARIES} ${UPDATER_MINGW_RUNTIME} DESTINATION .)
  install(FILES ${UPDATER_QT_PLATFORMS} DESTINATION platforms)
endfunction()
