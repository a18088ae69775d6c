# The libraries scripts/windows-toolchain builds for Windows, as the targets
# the Linux build gets from pkg-config: all static archives in its prefix.
foreach(lib divsufsort lzma)
  find_library(ORVEX_${lib}_LIBRARY NAMES lib${lib}.a REQUIRED)
endforeach()
find_path(ORVEX_WINDOWS_INCLUDE NAMES divsufsort.h REQUIRED)

add_library(PkgConfig::DIVSUFSORT INTERFACE IMPORTED)
target_link_libraries(PkgConfig::DIVSUFSORT INTERFACE ${ORVEX_divsufsort_LIBRARY})
target_include_directories(PkgConfig::DIVSUFSORT INTERFACE ${ORVEX_WINDOWS_INCLUDE})

add_library(PkgConfig::LZMA INTERFACE IMPORTED)
target_link_libraries(PkgConfig::LZMA INTERFACE ${ORVEX_lzma_LIBRARY})
target_include_directories(PkgConfig::LZMA INTERFACE ${ORVEX_WINDOWS_INCLUDE})
target_compile_definitions(PkgConfig::LZMA INTERFACE LZMA_API_STATIC)

# The tests' HTTPS fixture compiles the header-only library in.
add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED)
target_include_directories(PkgConfig::HTTPLIB INTERFACE ${ORVEX_WINDOWS_INCLUDE})
target_compile_definitions(PkgConfig::HTTPLIB INTERFACE CPPHTTPLIB_OPENSSL_SUPPORT)
target_link_libraries(PkgConfig::HTTPLIB INTERFACE OpenSSL::SSL OpenSSL::Crypto ws2_32 crypt32)

# The static OpenSSL pieces Qt and the code link need the system's sockets
# and certificate store.
foreach(target OpenSSL::Crypto OpenSSL::SSL)
  set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_LIBRARIES ws2_32 crypt32)
endforeach()

# The DLLs a Windows program of this build needs beside it: Qt's, OpenSSL's
# and the MinGW runtime's. orvex_windows_runtime(DIR) copies them into DIR
# (with the platform plug-in under platforms/) at build time.
get_filename_component(ORVEX_QT_PREFIX "${Qt5_DIR}/../../.." ABSOLUTE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
  OUTPUT_VARIABLE orvex_stdcxx_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(orvex_gcc_dir "${orvex_stdcxx_dll}" DIRECTORY)
set(ORVEX_WINDOWS_DLLS
  ${ORVEX_QT_PREFIX}/bin/Qt5Core.dll ${ORVEX_QT_PREFIX}/bin/Qt5Gui.dll
  ${ORVEX_QT_PREFIX}/bin/Qt5Widgets.dll ${ORVEX_QT_PREFIX}/bin/Qt5Network.dll
  ${ORVEX_QT_PREFIX}/bin/Qt5Concurrent.dll ${ORVEX_QT_PREFIX}/bin/Qt5Test.dll
  ${ORVEX_WINDOWS_PREFIX}/bin/libcrypto-3-x64.dll ${ORVEX_WINDOWS_PREFIX}/bin/libssl-3-x64.dll
  ${orvex_gcc_dir}/libstdc++-6.dll ${orvex_gcc_dir}/libgcc_s_seh-1.dll
  /usr/${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32/lib/libwinpthread-1.dll)
# Plug-ins by folder: the platform integrations (the screen's, and the
# offscreen one for the tests), and the image formats the window's pictures
# need.
set(ORVEX_WINDOWS_PLUGINS platforms/qwindows.dll platforms/qoffscreen.dll imageformats/qjpeg.dll imageformats/qico.dll
  styles/qwindowsvistastyle.dll)
function(orvex_windows_runtime dir)
  set(commands)
  foreach(plugin ${ORVEX_WINDOWS_PLUGINS})
    get_filename_component(folder ${plugin} DIRECTORY)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/${folder}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ORVEX_QT_PREFIX}/plugins/${plugin}
      ${dir}/${folder})
  endforeach()
  add_custom_target(windows_runtime ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ORVEX_WINDOWS_DLLS} ${dir}
    ${commands}
    VERBATIM)
endfunction()
orvex_windows_runtime(${CMAKE_BINARY_DIR}/bin)
