# Host half of the Lua example: packs the Windows tree's lua.dll with
# --console, the script folder, the built-in argument {CONTENTS}\main.lua and
# --exact-arguments into dist/lua-onefile.exe, and tests it under Wine.
# Included by cmake/host.cmake when the Windows tree exists.
set(lua_dll ${VORBEL_WINDOWS_BUILD_DIR}/examples/lua/lua.dll)
set(lua_launcher ${VORBEL_WINDOWS_BUILD_DIR}/launcher/launcher.exe)
set(lua_script ${CMAKE_CURRENT_LIST_DIR}/script)
if(EXISTS ${lua_dll} AND EXISTS ${lua_launcher})
  file(GLOB_RECURSE lua_script_files ${lua_script}/*)
  add_custom_command(OUTPUT ${VORBEL_DIST_DIR}/lua-onefile.exe
    COMMAND vorbel-pack build --console --launcher ${lua_launcher} --app ${lua_dll} --add ${lua_script}=.
            --arg "{CONTENTS}\\main.lua" --exact-arguments -o ${VORBEL_DIST_DIR}/lua-onefile.exe
    DEPENDS vorbel-pack ${lua_dll} ${lua_launcher} ${lua_script_files}
    COMMENT "Packing dist/lua-onefile.exe" VERBATIM)
  add_custom_target(lua_onefile ALL DEPENDS ${VORBEL_DIST_DIR}/lua-onefile.exe)

  vorbel_windows_check(lua_onefile_script
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_lua_onefile.sh ${VORBEL_DIST_DIR}/lua-onefile.exe
            ${VORBEL_WINDOWS_BUILD_DIR}/wine-prefix)
endif()
