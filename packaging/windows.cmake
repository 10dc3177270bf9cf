# The Windows folder: vtrlcfg.exe and vtrlctl.exe with the Qt DLLs, the plug-ins Qt loads
# (platforms\qwindows.dll, the style, the SQL driver) and the compiler's
# runtime DLLs beside it, so that the folder alone is the installation.
# The same files are copied next to the programs in the build folder, so
# that they run there (under Wine too). scripts/package.sh installs the
# folder and packs it as vtrlcfg-VERSION-win64.zip.
if(NOT TARGET vtrlcfg)
  return()
endif()

# The compiler's runtime, from where the compiler itself finds it (MinGW-w64;
# an MSVC build needs the Visual C++ redistributable instead).
set(vtrl_runtime_dlls)
if(MINGW)
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${path}" AND EXISTS "${path}")
      get_filename_component(path "${path}" REALPATH)
      list(APPEND vtrl_runtime_dlls ${path})
    else()
      message(WARNING "${dll} not found beside the compiler: the Windows folder will lack it")
    endif()
  endforeach()
endif()

set(vtrl_qt_dlls $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>)
# Folder below the program -> plug-in target.
set(vtrl_qt_plugins platforms Qt6::QWindowsIntegrationPlugin styles Qt6::QWindowsVistaStylePlugin)
if(TARGET Qt6::Sql)
  list(APPEND vtrl_qt_dlls $<TARGET_FILE:Qt6::Sql>)
  list(APPEND vtrl_qt_plugins sqldrivers Qt6::QSQLiteDriverPlugin)
endif()

set(copies)
# The walk-through (QTest's hands) runs in the build folder, not from the installation.
set(vtrl_build_only_dlls)
if(TARGET vtrlwalk)
  set(vtrl_build_only_dlls $<TARGET_FILE:Qt6::Test>)
endif()
foreach(file ${vtrl_qt_dlls} ${vtrl_runtime_dlls} ${vtrl_build_only_dlls})
  list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy_if_different ${file} ${CMAKE_BINARY_DIR}/)
endforeach()
install(TARGETS vtrlcfg RUNTIME DESTINATION .)
if(TARGET vtrlctl)
  # The command line, a console program beside the wizard, on the same DLLs.
  install(TARGETS vtrlctl RUNTIME DESTINATION .)
endif()
install(FILES ${vtrl_qt_dlls} ${vtrl_runtime_dlls} DESTINATION .)
list(LENGTH vtrl_qt_plugins count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET vtrl_qt_plugins ${i} folder)
  list(GET vtrl_qt_plugins ${j} plugin)
  if(NOT TARGET ${plugin})
    message(FATAL_ERROR "Qt for Windows without ${plugin}: the wizard needs it")
  endif()
  list(APPEND copies COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/${folder}
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${plugin}> ${CMAKE_BINARY_DIR}/${folder}/)
  install(FILES $<TARGET_FILE:${plugin}> DESTINATION ${folder})
endforeach()
add_custom_target(vtrl_windows_runtime ALL ${copies} VERBATIM)
